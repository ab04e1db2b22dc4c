// The path of the running executable, whatever its length.
#pragma once

#include <optional>
#include <string>

namespace corvantile {

[[nodiscard]] std::optional<std::wstring> GetModulePath();

// The path in the form that CreateFileW accepts beyond MAX_PATH characters ("\\?\C:\..." or "\\?\UNC\...").
[[nodiscard]] std::wstring ExtendedLengthPath(const std::wstring& path);

}  // namespace corvantile
