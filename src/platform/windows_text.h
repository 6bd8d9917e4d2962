#pragma once
// UTF-8, the plugin's text, to UTF-16, Windows' text at its system calls, and back.
#include <windows.h>

#include <string>

namespace platform {

// Empty for an empty text and for one that is not UTF-8.
inline std::wstring Wide(const std::string &text) {
  if (text.empty()) return std::wstring();
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), int(text.size()), nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring out(size_t(n), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), int(text.size()), &out[0], n);
  // A NUL inside would end the path early at the system call: no such path.
  return out.find(L'\0') == std::wstring::npos ? out : std::wstring();
}

inline std::string Utf8(const std::wstring &text) {
  if (text.empty()) return std::string();
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string out(size_t(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), &out[0], n, nullptr, nullptr);
  return out;
}

}  // namespace platform
