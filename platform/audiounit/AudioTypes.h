#pragma once

#include "platform/foundation/Error.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace platform {

// Scalar types of the audio-unit contract, with the platform's names and widths.
using AUParameterAddress = std::uint64_t;
using AUValue = float;
using AUAudioFrameCount = std::uint32_t;
using AUAudioChannelCount = std::uint32_t;
using OSStatus = std::int32_t;
using AUEventSampleTime = std::int64_t;
using NSInteger = std::int64_t;
using AudioUnitParameterUnit = std::uint32_t;
using AudioUnitParameterOptions = std::uint32_t;

// Status codes a unit or a host returns. Errors from this layer carry them as
// their code, in the domain kAudioUnitErrorDomain.
inline constexpr OSStatus noErr = 0;
inline constexpr OSStatus kAudioUnitErr_InvalidProperty = -10879;
inline constexpr OSStatus kAudioUnitErr_InvalidParameter = -10878;
inline constexpr OSStatus kAudioUnitErr_InvalidElement = -10877;
inline constexpr OSStatus kAudioUnitErr_NoConnection = -10876;
inline constexpr OSStatus kAudioUnitErr_TooManyFramesToProcess = -10874;
inline constexpr OSStatus kAudioUnitErr_FormatNotSupported = -10868;
inline constexpr OSStatus kAudioUnitErr_Uninitialized = -10867;
inline constexpr OSStatus kAudioUnitErr_InvalidPropertyValue = -10851;
inline constexpr OSStatus kAudioUnitErr_Initialized = -10849;

/// The domain of every Error this layer reports; the code is an OSStatus.
inline constexpr const char* kAudioUnitErrorDomain = "AudioUnit";

/// An Error in kAudioUnitErrorDomain with the given status as its code.
inline Error audioUnitError(OSStatus status, std::string message) {
    return Error{kAudioUnitErrorDomain, status, std::move(message)};
}

inline constexpr AudioUnitParameterUnit kAudioUnitParameterUnit_Generic = 0;
inline constexpr AudioUnitParameterUnit kAudioUnitParameterUnit_Indexed = 1;
inline constexpr AudioUnitParameterUnit kAudioUnitParameterUnit_Boolean = 2;
inline constexpr AudioUnitParameterUnit kAudioUnitParameterUnit_Percent = 3;
inline constexpr AudioUnitParameterUnit kAudioUnitParameterUnit_Seconds = 4;
inline constexpr AudioUnitParameterUnit kAudioUnitParameterUnit_Hertz = 8;
inline constexpr AudioUnitParameterUnit kAudioUnitParameterUnit_Decibels = 13;

inline constexpr AudioUnitParameterOptions kAudioUnitParameterFlag_ValuesHaveStrings = 1u << 21;
inline constexpr AudioUnitParameterOptions kAudioUnitParameterFlag_DisplayLogarithmic = 1u << 22;
inline constexpr AudioUnitParameterOptions kAudioUnitParameterFlag_IsHighResolution = 1u << 23;
inline constexpr AudioUnitParameterOptions kAudioUnitParameterFlag_NonRealTime = 1u << 24;
inline constexpr AudioUnitParameterOptions kAudioUnitParameterFlag_CanRamp = 1u << 25;
inline constexpr AudioUnitParameterOptions kAudioUnitParameterFlag_IsReadable = 0x40000000u;
inline constexpr AudioUnitParameterOptions kAudioUnitParameterFlag_IsWritable = 0x80000000u;

/// A four-character code as the platform packs it: the first character in the
/// most significant byte ("aufx" is 0x61756678).
constexpr std::uint32_t fourCharCode(const char (&s)[5]) {
    return (static_cast<std::uint32_t>(static_cast<unsigned char>(s[0])) << 24) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(s[1])) << 16) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(s[2])) << 8) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(s[3]));
}

/// Identifies an audio component: type ("aufx" for an effect), subtype and
/// manufacturer codes, plus flags and a mask used when searching.
struct AudioComponentDescription {
    std::uint32_t componentType = 0;
    std::uint32_t componentSubType = 0;
    std::uint32_t componentManufacturer = 0;
    std::uint32_t componentFlags = 0;
    std::uint32_t componentFlagsMask = 0;

    friend bool operator==(const AudioComponentDescription&,
                           const AudioComponentDescription&) = default;
};

/// How a host asks for a unit to be instantiated; recorded, not acted upon.
enum AudioComponentInstantiationOptions : std::uint32_t {
    kAudioComponentInstantiation_LoadOutOfProcess = 1,
    kAudioComponentInstantiation_LoadInProcess = 2,
    kAudioComponentInstantiation_LoadedRemotely = 1u << 31,
};

// ---- Render contract, laid out as the platform's C structs ----

/// One buffer of a buffer list: interleaved channels when mNumberChannels is
/// above 1. mData may be null when the host wants the pull to supply memory.
struct AudioBuffer {
    std::uint32_t mNumberChannels;
    std::uint32_t mDataByteSize;
    void* mData;
};

/// A variable-length list of buffers: mBuffers really holds mNumberBuffers
/// entries. Allocate one with AudioBufferListStorage.
struct AudioBufferList {
    std::uint32_t mNumberBuffers;
    AudioBuffer mBuffers[1];
};

/// Owns the memory of an AudioBufferList with room for a given number of
/// buffers, every field zeroed. Move-only; the list's address stays put.
class AudioBufferListStorage {
public:
    explicit AudioBufferListStorage(std::uint32_t bufferCount);
    ~AudioBufferListStorage();
    AudioBufferListStorage(AudioBufferListStorage&& other) noexcept;
    AudioBufferListStorage& operator=(AudioBufferListStorage&& other) noexcept;
    AudioBufferListStorage(const AudioBufferListStorage&) = delete;
    AudioBufferListStorage& operator=(const AudioBufferListStorage&) = delete;

    /// Bytes an AudioBufferList of bufferCount buffers occupies (at least one).
    static std::size_t byteSize(std::uint32_t bufferCount);

    AudioBufferList* get() { return list_; }
    const AudioBufferList* get() const { return list_; }
    AudioBufferList* operator->() { return list_; }
    const AudioBufferList* operator->() const { return list_; }
    /// Buffer i of the list, 0 <= i < bufferCount(); read through the list's
    /// own storage, so the same memory a render block sees.
    AudioBuffer& buffer(std::uint32_t i) { return buffers()[i]; }
    const AudioBuffer& buffer(std::uint32_t i) const { return buffers()[i]; }
    std::uint32_t bufferCount() const { return capacity_; }

private:
    AudioBuffer* buffers() const;
    void release() noexcept;

    AudioBufferList* list_ = nullptr;
    std::uint32_t capacity_ = 0;
};

/// Time stamp of a render call. Only the fields flagged valid in mFlags carry
/// meaning; hosts of this layer always set the sample time.
struct AudioTimeStamp {
    double mSampleTime = 0.0;
    std::uint64_t mHostTime = 0;
    double mRateScalar = 0.0;
    std::uint64_t mWordClockTime = 0;
    std::uint32_t mFlags = 0;
    std::uint32_t mReserved = 0;
};

inline constexpr std::uint32_t kAudioTimeStampSampleTimeValid = 1u << 0;
inline constexpr std::uint32_t kAudioTimeStampHostTimeValid = 1u << 1;
inline constexpr std::uint32_t kAudioTimeStampRateScalarValid = 1u << 2;
inline constexpr std::uint32_t kAudioTimeStampWordClockTimeValid = 1u << 3;

/// Flags word passed in and out of render and pull calls.
using AudioUnitRenderActionFlags = std::uint32_t;
inline constexpr AudioUnitRenderActionFlags kAudioUnitRenderAction_PreRender = 1u << 2;
inline constexpr AudioUnitRenderActionFlags kAudioUnitRenderAction_PostRender = 1u << 3;
inline constexpr AudioUnitRenderActionFlags kAudioUnitRenderAction_OutputIsSilence = 1u << 4;

/// Kind of one entry of a render call's event list.
enum AURenderEventType : std::uint8_t {
    AURenderEventParameter = 1,
    AURenderEventParameterRamp = 2,
    AURenderEventMIDI = 8,
    AURenderEventMIDISysEx = 9,
};

union AURenderEvent;

/// The fields every event begins with; walk a list through head.next.
struct AURenderEventHeader {
    union AURenderEvent* next;
    AUEventSampleTime eventSampleTime;
    AURenderEventType eventType;
    std::uint8_t reserved;
};

/// A parameter change (or ramp) scheduled inside a render call.
/// eventSampleTime is absolute, in the time line of the call's time stamp.
struct AUParameterEvent {
    union AURenderEvent* next;
    AUEventSampleTime eventSampleTime;
    AURenderEventType eventType;
    std::uint8_t reserved[3];
    AUAudioFrameCount rampDurationSampleFrames;
    AUParameterAddress parameterAddress;
    AUValue value;
};

/// A short MIDI message (up to three bytes) scheduled inside a render call.
struct AUMIDIEvent {
    union AURenderEvent* next;
    AUEventSampleTime eventSampleTime;
    AURenderEventType eventType;
    std::uint8_t reserved;
    std::uint16_t length;
    std::uint8_t cable;
    std::uint8_t data[3];
};

/// One entry of a render call's event list, read through head first.
union AURenderEvent {
    AURenderEventHeader head;
    AUParameterEvent parameter;
    AUMIDIEvent MIDI;
};

/// Fills inputData with the input of bus inputBusNumber for the same time
/// stamp and frame count; where a buffer's mData is null it points it at
/// memory of its own. Returns noErr or a failure status.
using AURenderPullInputBlock = std::function<OSStatus(
    AudioUnitRenderActionFlags* actionFlags, const AudioTimeStamp* timestamp,
    AUAudioFrameCount frameCount, NSInteger inputBusNumber, AudioBufferList* inputData)>;

/// A unit's render entry, called once per render cycle on the real-time
/// thread. realtimeEventListHead and pullInputBlock may be null. Calling a
/// std::function does not allocate, so a block that allocates nothing itself
/// stays real-time safe.
using AUInternalRenderBlock = std::function<OSStatus(
    AudioUnitRenderActionFlags* actionFlags, const AudioTimeStamp* timestamp,
    AUAudioFrameCount frameCount, NSInteger outputBusNumber, AudioBufferList* outputData,
    const AURenderEvent* realtimeEventListHead, const AURenderPullInputBlock* pullInputBlock)>;

} // namespace platform
