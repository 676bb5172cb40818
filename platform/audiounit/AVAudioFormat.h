#pragma once

#include "platform/audiounit/AudioTypes.h"

#include <memory>

namespace platform {

/// Sample representation of an audio format.
enum class AVAudioCommonFormat {
    otherFormat = 0,
    pcmFormatFloat32 = 1,
    pcmFormatFloat64 = 2,
    pcmFormatInt16 = 3,
    pcmFormatInt32 = 4,
};

/// An immutable PCM audio format: sample rate, channel count, sample type and
/// layout. Handed around as std::shared_ptr<const AVAudioFormat>, so that
/// "the same format object" is pointer identity; equal values compare equal
/// with operator== even across objects. Safe to share between threads.
class AVAudioFormat {
    struct Private {};

public:
    /// The standard format: non-interleaved 32-bit float. Null when the rate
    /// is not finite and positive or the channel count is 0.
    static std::shared_ptr<const AVAudioFormat> standardFormat(double sampleRate,
                                                               AUAudioChannelCount channels);

    /// Any common format, interleaved or not; null on the same bad input as
    /// standardFormat and for otherFormat.
    static std::shared_ptr<const AVAudioFormat> create(AVAudioCommonFormat commonFormat,
                                                       double sampleRate,
                                                       AUAudioChannelCount channels,
                                                       bool interleaved);

    AVAudioFormat(Private, AVAudioCommonFormat commonFormat, double sampleRate,
                  AUAudioChannelCount channels, bool interleaved);

    double sampleRate() const { return sampleRate_; }
    AUAudioChannelCount channelCount() const { return channels_; }
    bool isInterleaved() const { return interleaved_; }
    AVAudioCommonFormat commonFormat() const { return commonFormat_; }
    /// True for non-interleaved 32-bit float, the format units work in.
    bool isStandard() const {
        return commonFormat_ == AVAudioCommonFormat::pcmFormatFloat32 && !interleaved_;
    }

    friend bool operator==(const AVAudioFormat&, const AVAudioFormat&) = default;

private:
    AVAudioCommonFormat commonFormat_;
    double sampleRate_;
    AUAudioChannelCount channels_;
    bool interleaved_;
};

} // namespace platform
