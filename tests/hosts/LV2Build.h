#pragma once
// Where the tests find the built orvane.lv2, and whether this build is
// sanitized (hosts from Debian cannot load a sanitized plug-in).

#include <filesystem>

inline const std::filesystem::path kLV2Path = ORVANE_LV2_PATH;
inline const std::filesystem::path kBundle = kLV2Path / "orvane.lv2";

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif
