#include "hosts/vst3/VST3Strings.h"

#include <unicode/ustring.h>

namespace orvane::vst3 {

void copyToHost(std::string_view text, Steinberg::Vst::TChar* field, std::size_t capacity) {
    if (capacity == 0) return;
    UErrorCode status = U_ZERO_ERROR;
    std::int32_t length = 0;
    u_strFromUTF8(reinterpret_cast<UChar*>(field), static_cast<std::int32_t>(capacity - 1), &length, text.data(),
                  static_cast<std::int32_t>(text.size()), &status);
    if (U_FAILURE(status) && status != U_BUFFER_OVERFLOW_ERROR) length = 0;
    field[std::min<std::size_t>(static_cast<std::size_t>(length), capacity - 1)] = 0;
}

std::string fromHost(const Steinberg::Vst::TChar* text) {
    if (!text) return {};
    UErrorCode status = U_ZERO_ERROR;
    std::int32_t length = 0;
    const auto* source = reinterpret_cast<const UChar*>(text);
    u_strToUTF8(nullptr, 0, &length, source, -1, &status);
    if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) return {};
    std::string out(static_cast<std::size_t>(length), '\0');
    status = U_ZERO_ERROR;
    u_strToUTF8(out.data(), length, nullptr, source, -1, &status);
    return U_FAILURE(status) ? std::string{} : out;
}

} // namespace orvane::vst3
