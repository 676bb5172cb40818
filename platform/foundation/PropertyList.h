#pragma once

#include "platform/foundation/Error.h"

#include <cstdint>
#include <expected>
#include <filesystem>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace platform {

/// A point in time as property lists store it: seconds since
/// 2001-01-01 00:00:00 UTC.
struct PlistDate {
    double secondsSinceReferenceDate = 0.0;
    friend bool operator==(const PlistDate&, const PlistDate&) = default;
};

/// Raw bytes held in a property list.
using PlistData = std::vector<std::uint8_t>;

/// One property-list value: a dictionary with string keys, an array, a
/// string, an integer, a real, a boolean, data or a date. A plain value type:
/// copies are deep, comparison is structural.
class PropertyList {
public:
    using Dictionary = std::map<std::string, PropertyList>;
    using Array = std::vector<PropertyList>;
    using Value = std::variant<Dictionary, Array, std::string, std::int64_t, double, bool,
                               PlistData, PlistDate>;

    /// An empty dictionary.
    PropertyList() = default;
    PropertyList(Dictionary v) : value_(std::move(v)) {}
    PropertyList(Array v) : value_(std::move(v)) {}
    PropertyList(std::string v) : value_(std::move(v)) {}
    PropertyList(const char* v) : value_(std::string(v)) {}
    PropertyList(std::int64_t v) : value_(v) {}
    PropertyList(int v) : value_(static_cast<std::int64_t>(v)) {}
    PropertyList(double v) : value_(v) {}
    PropertyList(bool v) : value_(v) {}
    PropertyList(PlistData v) : value_(std::move(v)) {}
    PropertyList(PlistDate v) : value_(v) {}

    const Value& value() const { return value_; }
    Value& value() { return value_; }

    bool isDictionary() const { return std::holds_alternative<Dictionary>(value_); }
    bool isArray() const { return std::holds_alternative<Array>(value_); }
    bool isString() const { return std::holds_alternative<std::string>(value_); }
    bool isInteger() const { return std::holds_alternative<std::int64_t>(value_); }
    bool isReal() const { return std::holds_alternative<double>(value_); }
    bool isBoolean() const { return std::holds_alternative<bool>(value_); }
    /// Integers and reals are numbers (booleans are not).
    bool isNumber() const { return isInteger() || isReal(); }

    /// Null when the value is of another kind.
    const Dictionary* dictionary() const { return std::get_if<Dictionary>(&value_); }
    Dictionary* dictionary() { return std::get_if<Dictionary>(&value_); }
    const Array* array() const { return std::get_if<Array>(&value_); }
    const std::string* string() const { return std::get_if<std::string>(&value_); }
    const std::int64_t* integer() const { return std::get_if<std::int64_t>(&value_); }
    const double* real() const { return std::get_if<double>(&value_); }
    const bool* boolean() const { return std::get_if<bool>(&value_); }

    /// A number as double: integers are converted; null for anything else.
    std::optional<double> number() const {
        if (auto i = integer()) return static_cast<double>(*i);
        if (auto r = real()) return *r;
        return std::nullopt;
    }

    /// Dictionary lookup; null when this is not a dictionary or lacks the key.
    const PropertyList* find(const std::string& key) const {
        auto d = dictionary();
        if (!d) return nullptr;
        auto it = d->find(key);
        return it == d->end() ? nullptr : &it->second;
    }

    friend bool operator==(const PropertyList&, const PropertyList&) = default;

private:
    Value value_{Dictionary{}};
};

enum class PlistFormat { xml, binary };

/// Domain of the errors that parsing and encoding report. The file functions
/// also pass on the operating system's failures, in the "POSIX" domain with
/// the errno value as code (see platform/foundation/FileManager.h).
inline constexpr std::string_view kPropertyListErrorDomain = "PropertyList";

/// Codes in kPropertyListErrorDomain.
enum PropertyListErrorCode : std::int64_t {
    /// The bytes are not a property list (empty, malformed, truncated), or
    /// hold a kind of value that has no PropertyList counterpart.
    kPropertyListNotParsable = 1,
    /// The value has no property-list encoding (a date out of range, a string
    /// or key holding a NUL character).
    kPropertyListNotEncodable = 2,
    /// The file is larger than any property list this system reads or writes
    /// (states, presets, information dictionaries are a few kilobytes).
    kPropertyListTooLarge = 3,
};

/// The largest property-list file readPropertyListFile reads: 1 MiB.
inline constexpr std::uint64_t kMaxPropertyListFileBytes = 1u << 20;

/// Parses a property list in any encoding the platform reads (XML or binary).
/// Errors carry the domain "PropertyList".
std::expected<PropertyList, Error> parsePropertyList(std::span<const std::uint8_t> bytes);

/// Encodes a property list.
std::expected<std::vector<std::uint8_t>, Error> serializePropertyList(const PropertyList& plist,
                                                                      PlistFormat format);

/// Reads and parses a whole file. A file larger than kMaxPropertyListFileBytes
/// is refused unread. The error message names the file.
std::expected<PropertyList, Error> readPropertyListFile(const std::filesystem::path& path);

/// Writes a file atomically: a temporary file in the same folder, renamed
/// over the target only when complete; nothing is left behind on failure.
std::expected<void, Error> writePropertyListFile(const std::filesystem::path& path,
                                                 const PropertyList& plist,
                                                 PlistFormat format = PlistFormat::xml);

} // namespace platform
