#include "platform/audiounit/AudioTypes.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

namespace platform {

namespace {
constexpr std::align_val_t kListAlignment{alignof(AudioBufferList)};
} // namespace

std::size_t AudioBufferListStorage::byteSize(std::uint32_t bufferCount) {
    const std::size_t extra = bufferCount > 1 ? bufferCount - 1 : 0;
    return sizeof(AudioBufferList) + extra * sizeof(AudioBuffer);
}

AudioBufferListStorage::AudioBufferListStorage(std::uint32_t bufferCount)
    : capacity_(bufferCount) {
    const std::size_t bytes = byteSize(bufferCount);
    void* memory = ::operator new(bytes, kListAlignment);
    std::memset(memory, 0, bytes);
    list_ = new (memory) AudioBufferList{};
    list_->mNumberBuffers = bufferCount;
    // The buffers past the first live in the tail of the same block, right
    // where mBuffers[i] addresses them.
    auto* first = reinterpret_cast<std::byte*>(memory) + offsetof(AudioBufferList, mBuffers);
    for (std::uint32_t i = 1; i < bufferCount; ++i)
        new (first + i * sizeof(AudioBuffer)) AudioBuffer{};
}

AudioBufferListStorage::~AudioBufferListStorage() { release(); }

AudioBufferListStorage::AudioBufferListStorage(AudioBufferListStorage&& other) noexcept
    : list_(std::exchange(other.list_, nullptr)), capacity_(std::exchange(other.capacity_, 0)) {}

AudioBufferListStorage& AudioBufferListStorage::operator=(AudioBufferListStorage&& other) noexcept {
    if (this != &other) {
        release();
        list_ = std::exchange(other.list_, nullptr);
        capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
}

AudioBuffer* AudioBufferListStorage::buffers() const {
    auto* first = reinterpret_cast<std::byte*>(list_) + offsetof(AudioBufferList, mBuffers);
    return std::launder(reinterpret_cast<AudioBuffer*>(first));
}

void AudioBufferListStorage::release() noexcept {
    if (list_) ::operator delete(static_cast<void*>(list_), kListAlignment);
    list_ = nullptr;
    capacity_ = 0;
}

} // namespace platform
