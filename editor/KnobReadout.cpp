#include "editor/KnobReadout.h"

#include "engine/ControlCurves.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

namespace orvane {

namespace {

constexpr double kMilliseconds = 1000.0;
constexpr double kPercent = 100.0;
// Amounts show a tenth below this, whole numbers from it on.
constexpr double kWholeNumbersFrom = 9.95;
constexpr double kKilohertzFrom = 999.5;

/// Two significant digits below ten, whole numbers above: enough to tell
/// two settings apart by ear.
std::string amount(double value) {
    char text[32];
    if (value == 0.0) return "0";
    std::snprintf(text, sizeof text, value < kWholeNumbersFrom ? "%.1f" : "%.0f", value);
    return text;
}

std::string percent(double share) { return std::to_string(std::lround(share * kPercent)) + "%"; }

std::string frequency(double hertz) {
    return hertz < kKilohertzFrom ? amount(hertz) + " Hz" : amount(hertz / 1000.0) + " kHz";
}

// What each readout shows, in the unit it shows it in.
double wetPercent(float v) { return kPercent * curves::wetShare(v); }
double depthMs(float v) { return 2.0 * curves::streamDepthSeconds(v) * kMilliseconds; }
double spreadMs(float v) { return curves::streamSpreadSeconds(v) * kMilliseconds; }
double feedbackPercent(float v) { return kPercent * curves::streamFeedback(v); }
double wanderMs(float v) { return curves::outputWanderSeconds(v) * kMilliseconds; }
double decaySeconds(float v) { return curves::reverbDecaySeconds(v); }
double cornerHz(float v) { return curves::filterCutoffHz(v); }

/// Half the step between two neighbouring readouts near `shown`.
double halfAmountStep(double shown) { return shown < kWholeNumbersFrom ? 0.05 : 0.5; }
double halfPercentStep(double) { return 0.5; }
double halfFrequencyStep(double hz) { return hz < kKilohertzFrom ? halfAmountStep(hz) : halfAmountStep(hz / 1000.0) * 1000.0; }

enum class Unit { none, ms, s, percent, hz, khz };

/// One knob's readout: its word, the unit it shows, what it shows for a
/// value and how finely.
struct Scale {
    std::string_view word;
    Unit shown;
    double (*quantity)(float);
    double (*halfStep)(double);
};

constexpr std::array<Scale, 6> kScales{{
    {"wet", Unit::percent, wetPercent, halfPercentStep},
    {"depth", Unit::ms, depthMs, halfAmountStep},
    {"spread", Unit::ms, spreadMs, halfAmountStep},
    {"feedback", Unit::percent, feedbackPercent, halfPercentStep},
    {"wander", Unit::ms, wanderMs, halfAmountStep},
    {"decay", Unit::s, decaySeconds, halfAmountStep},
}};
constexpr Scale kCorner{"", Unit::hz, cornerHz, halfFrequencyStep};

/// What a typed text says: its number, its unit, and the words around it.
struct Reading {
    double number = 0.0;
    Unit unit = Unit::none;
    std::string_view before, after;
};

bool isSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }
bool isLetter(char c) { return c >= 'a' && c <= 'z'; }

std::string_view letters(std::string_view& rest) {
    std::size_t n = 0;
    while (n < rest.size() && isLetter(rest[n])) ++n;
    const std::string_view word = rest.substr(0, n);
    rest.remove_prefix(n);
    while (!rest.empty() && isSpace(rest.front())) rest.remove_prefix(1);
    return word;
}

std::optional<Unit> unitNamed(std::string_view name) {
    if (name == "ms") return Unit::ms;
    if (name == "s") return Unit::s;
    if (name == "hz") return Unit::hz;
    if (name == "khz") return Unit::khz;
    return std::nullopt;
}

/// [word] number [unit] [word], all lower case.
std::optional<Reading> read(std::string_view rest) {
    Reading reading;
    while (!rest.empty() && isSpace(rest.front())) rest.remove_prefix(1);
    reading.before = letters(rest);
    // A digit must come first (after a sign): from_chars would also take
    // "inf" and "nan".
    std::size_t digit = !rest.empty() && (rest[0] == '-' || rest[0] == '+') ? 1 : 0;
    if (digit < rest.size() && rest[digit] == '.') ++digit;
    if (digit >= rest.size() || !std::isdigit(static_cast<unsigned char>(rest[digit]))) return std::nullopt;
    const char* first = rest.data() + (rest[0] == '+' ? 1 : 0);
    const auto [end, error] = std::from_chars(first, rest.data() + rest.size(), reading.number);
    if (error != std::errc{} || !std::isfinite(reading.number)) return std::nullopt;
    rest.remove_prefix(static_cast<std::size_t>(end - rest.data()));
    while (!rest.empty() && isSpace(rest.front())) rest.remove_prefix(1);
    if (!rest.empty() && rest.front() == '%') {
        reading.unit = Unit::percent;
        rest.remove_prefix(1);
        while (!rest.empty() && isSpace(rest.front())) rest.remove_prefix(1);
        reading.after = letters(rest);
    } else {
        const std::string_view word = letters(rest);
        if (const auto unit = unitNamed(word)) {
            reading.unit = *unit;
            reading.after = letters(rest);
        } else {
            reading.after = word;
        }
    }
    if (!rest.empty()) return std::nullopt;
    return reading;
}

/// The value whose quantity is `target`, found on the monotonic curve
/// itself, so a curve computed in single precision reads back exactly.
float solve(double (*quantity)(float), double target) {
    const bool rising = quantity(1.0f) > quantity(0.0f);
    double lo = 0.0, hi = 1.0;
    for (int i = 0; i < 64; ++i) {
        const double mid = 0.5 * (lo + hi);
        const double q = quantity(static_cast<float>(mid));
        if ((q < target) == rising) {
            lo = mid;
        } else {
            hi = mid;
        }
    }
    const float a = static_cast<float>(lo), b = static_cast<float>(hi);
    return std::abs(quantity(b) - target) < std::abs(quantity(a) - target) ? b : a;
}

/// The value for a quantity in the scale's own unit; nothing when it lies
/// farther outside the range than half a displayed step.
std::optional<float> valueFor(const Scale& scale, double target) {
    const double q0 = scale.quantity(0.0f), q1 = scale.quantity(1.0f);
    const double low = std::min(q0, q1), high = std::max(q0, q1);
    // Half a step, and a little for the rounding of the curves.
    const auto margin = [&](double end) { return scale.halfStep(end) * (1.0 + 1e-9); };
    if (target < low - margin(low) || target > high + margin(high)) return std::nullopt;
    return solve(scale.quantity, std::clamp(target, low, high));
}

} // namespace

KnobReadout knobReadout(platform::AUParameterAddress address, float value) {
    switch (address) {
    case 0:
        return {percent(curves::wetShare(value)) + " wet", {}};
    case 1:
        // The delays sweep from their offsets to twice the depth above them.
        return {"depth " + amount(depthMs(value)) + " ms", {}};
    case 2:
        return {"spread " + amount(spreadMs(value)) + " ms", {}};
    case 3:
        return {"feedback " + percent(curves::streamFeedback(value)), {}};
    case 4:
        return {"wander " + amount(wanderMs(value)) + " ms", {}};
    case 5: {
        const std::string corner = frequency(curves::filterCutoffHz(value));
        if (curves::reverbShare(value) == 0.0f) return {"no reverb", corner};
        return {"decay " + amount(curves::reverbDecaySeconds(value)) + " s", corner};
    }
    default:
        return {};
    }
}

std::optional<float> knobValueFromText(platform::AUParameterAddress address, std::string_view text) {
    if (address >= kScales.size()) return std::nullopt;
    std::string lower;
    for (char c : text) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const Scale& scale = kScales[address];
    if (address == 5) {
        std::string squeezed;
        for (char c : lower)
            if (!isSpace(c)) squeezed += c;
        if (squeezed == "noreverb" || squeezed == "off") return 0.0f;
    }

    const auto reading = read(lower);
    if (!reading) return std::nullopt;
    for (std::string_view word : {reading->before, reading->after})
        if (!word.empty() && word != scale.word) return std::nullopt;

    double target = reading->number;
    switch (scale.shown) {
    case Unit::percent:
        if (reading->unit == Unit::none && target >= 0.0 && target <= 1.0) target *= kPercent;
        else if (reading->unit != Unit::none && reading->unit != Unit::percent) return std::nullopt;
        return valueFor(scale, target);
    case Unit::ms:
        if (reading->unit == Unit::s) target *= kMilliseconds;
        else if (reading->unit != Unit::none && reading->unit != Unit::ms) return std::nullopt;
        return valueFor(scale, target);
    case Unit::s: {
        // Gravitas: a decay, or the filter corner it sets.
        if (reading->unit == Unit::hz || reading->unit == Unit::khz) {
            if (!reading->before.empty() || !reading->after.empty()) return std::nullopt;
            return valueFor(kCorner, reading->unit == Unit::khz ? target * 1000.0 : target);
        }
        if (reading->unit == Unit::ms) target /= kMilliseconds;
        else if (reading->unit != Unit::none && reading->unit != Unit::s) return std::nullopt;
        const auto value = valueFor(scale, target);
        // 0 has no reverberation at all; a decay asked for keeps it on.
        if (value && *value == 0.0f) return std::numeric_limits<float>::min();
        return value;
    }
    default:
        return std::nullopt;
    }
}

} // namespace orvane
