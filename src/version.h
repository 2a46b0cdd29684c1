// The library's version text, as ornGetVersion reports it and the log banner shows it.
#pragma once

namespace orn {
inline constexpr char kLibraryVersion[] = "1.23";
}
