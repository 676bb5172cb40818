#pragma once

#include <pluginterfaces/vst/vsttypes.h>

#include <string>
#include <string_view>

namespace orvane::vst3 {

/// UTF-8 text into a host's UTF-16 field of `capacity` units, cut short to
/// fit and always terminated.
void copyToHost(std::string_view text, Steinberg::Vst::TChar* field, std::size_t capacity);
template <std::size_t N> void copyToHost(std::string_view text, Steinberg::Vst::TChar (&field)[N]) {
    copyToHost(text, field, N);
}
/// A host's terminated UTF-16 text as UTF-8; empty when it is not valid.
std::string fromHost(const Steinberg::Vst::TChar* text);

} // namespace orvane::vst3
