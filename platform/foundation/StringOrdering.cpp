#include "platform/foundation/StringOrdering.h"

#include <unicode/coll.h>
#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>

namespace platform {
namespace {

/// The two collators one comparison needs: `names` ignores letter case (it
/// compares to the secondary strength: base letters, then accents) and
/// `caseTieBreak` is the same with letter case (tertiary strength).
struct Collators {
    std::unique_ptr<icu::Collator> names;
    std::unique_ptr<icu::Collator> caseTieBreak;
};

icu::Locale userLocale() {
    const icu::Locale& locale = icu::Locale::getDefault();
    // The C and POSIX locales reach ICU as en_US_POSIX, whose collation is
    // plain code-point order with capitals first; a file browser in such an
    // environment still sorts like everywhere else, so use the root rules.
    if (locale.isBogus() || locale.getLanguage()[0] == '\0' || std::strcmp(locale.getVariant(), "POSIX") == 0) {
        return icu::Locale::getRoot();
    }
    return locale;
}

std::unique_ptr<icu::Collator> makeCollator(const icu::Locale& locale, icu::Collator::ECollationStrength strength) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::Collator> collator(icu::Collator::createInstance(locale, status));
    if (U_FAILURE(status) || !collator) return nullptr;
    collator->setAttribute(UCOL_NUMERIC_COLLATION, UCOL_ON, status);
    collator->setStrength(strength);
    if (U_FAILURE(status)) return nullptr;
    return collator;
}

Collators makeCollators() {
    const icu::Locale locale = userLocale();
    Collators collators{makeCollator(locale, icu::Collator::SECONDARY),
                        makeCollator(locale, icu::Collator::TERTIARY)};
    if (!collators.names || !collators.caseTieBreak) {
        collators = {makeCollator(icu::Locale::getRoot(), icu::Collator::SECONDARY),
                     makeCollator(icu::Locale::getRoot(), icu::Collator::TERTIARY)};
    }
    return collators;
}

/// Collators for the calling thread. Building one from the locale's rules is
/// costly, so the process builds them once and each thread clones its own;
/// a thread never shares a collator, so no lock is needed.
const Collators& threadCollators() {
    static const Collators prototypes = makeCollators();
    thread_local const Collators mine{
        prototypes.names ? std::unique_ptr<icu::Collator>(prototypes.names->clone()) : nullptr,
        prototypes.caseTieBreak ? std::unique_ptr<icu::Collator>(prototypes.caseTieBreak->clone()) : nullptr};
    return mine;
}

int sign(int value) { return (value > 0) - (value < 0); }

int compareBytes(std::string_view a, std::string_view b) {
    // string_view compares as unsigned char, the order of UTF-8 code points.
    return sign(a.compare(b));
}

int collate(const icu::Collator* collator, std::string_view a, std::string_view b) {
    if (!collator) return 0;
    UErrorCode status = U_ZERO_ERROR;
    const UCollationResult result = collator->compareUTF8(
        icu::StringPiece(a.data(), static_cast<std::int32_t>(a.size())),
        icu::StringPiece(b.data(), static_cast<std::int32_t>(b.size())), status);
    if (U_FAILURE(status)) return 0;
    return result == UCOL_LESS ? -1 : (result == UCOL_GREATER ? 1 : 0);
}

} // namespace

int localizedStandardCompare(std::string_view a, std::string_view b) {
    if (a == b) return 0;
    constexpr auto kMaxLength = static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());
    if (a.size() > kMaxLength || b.size() > kMaxLength) return compareBytes(a, b);

    // Each level refines the one before (the tertiary strength only splits
    // what the secondary calls equal, and bytes split the rest), so the chain
    // is a total order.
    const Collators& collators = threadCollators();
    if (const int byName = collate(collators.names.get(), a, b); byName != 0) return byName;
    if (const int byCase = collate(collators.caseTieBreak.get(), a, b); byCase != 0) return byCase;
    return compareBytes(a, b);
}

bool isNumericText(std::string_view utf8) {
    if (utf8.empty() || utf8.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        return false;
    }
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(utf8.data());
    const auto length = static_cast<std::int32_t>(utf8.size());
    for (std::int32_t i = 0; i < length;) {
        UChar32 c = 0;
        U8_NEXT(bytes, i, length, c);
        if (c < 0) return false; // ill-formed UTF-8
        if (u_getNumericValue(c) == U_NO_NUMERIC_VALUE) return false;
    }
    return true;
}

} // namespace platform
