#pragma once

// The vendor's server: the default synchronisation server, and the one host
// trusted to publish updates.
namespace Vendor {
inline constexpr char host[] = "kumat.zelnor.com.tr";
inline constexpr char serverUrl[] = "https://kumat.zelnor.com.tr";
inline constexpr char manifestUrl[] = "https://kumat.zelnor.com.tr/downloads/latest.json";
} // namespace Vendor
