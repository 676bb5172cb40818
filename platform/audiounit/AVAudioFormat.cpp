#include "platform/audiounit/AVAudioFormat.h"

#include <cmath>

namespace platform {

AVAudioFormat::AVAudioFormat(Private, AVAudioCommonFormat commonFormat, double sampleRate,
                             AUAudioChannelCount channels, bool interleaved)
    : commonFormat_(commonFormat), sampleRate_(sampleRate), channels_(channels),
      interleaved_(interleaved) {}

std::shared_ptr<const AVAudioFormat> AVAudioFormat::create(AVAudioCommonFormat commonFormat,
                                                           double sampleRate,
                                                           AUAudioChannelCount channels,
                                                           bool interleaved) {
    if (!std::isfinite(sampleRate) || sampleRate <= 0.0 || channels == 0 ||
        commonFormat == AVAudioCommonFormat::otherFormat)
        return nullptr;
    return std::make_shared<const AVAudioFormat>(Private{}, commonFormat, sampleRate, channels,
                                                 interleaved);
}

std::shared_ptr<const AVAudioFormat> AVAudioFormat::standardFormat(double sampleRate,
                                                                   AUAudioChannelCount channels) {
    return create(AVAudioCommonFormat::pcmFormatFloat32, sampleRate, channels, false);
}

} // namespace platform
