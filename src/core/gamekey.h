#pragma once
// Where the game's installer records its folder: HKEY_LOCAL_MACHINE, in the 32-bit view.

namespace rostrel {

inline constexpr char kGameKey[] = "Software\\Blizzard Entertainment\\World of Warcraft";
inline constexpr char kInstallPathValue[] = "InstallPath";

} // namespace rostrel
