// The real registry: the few values other programs publish (the external version-check
// tool's location) under HKEY_LOCAL_MACHINE or HKEY_CURRENT_USER, in the native view of
// this 64-bit program.
#include <windows.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <vector>

#include "platform/platform.h"
#include "platform/win/win_internal.h"

using winplat::Narrow;
using winplat::Widen;

namespace {

HKEY RootKey(int root) {
  if (root == RegLocalMachine) return HKEY_LOCAL_MACHINE;
  if (root == RegCurrentUser) return HKEY_CURRENT_USER;
  return nullptr;
}

// Decimal digits only, and a DWORD's within 32 bits.
bool ParseNumber(const std::string& v, int type, unsigned long long* out) {
  if (v.empty() || v.size() > 20) return false;
  for (char c : v)
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  errno = 0;
  unsigned long long n = std::strtoull(v.c_str(), nullptr, 10);
  if (errno == ERANGE || (type == RegDword && n > 0xFFFFFFFFull)) return false;
  *out = n;
  return true;
}

// A string value's text without the terminating NULs the writer may or may not have
// stored; an odd byte count is not UTF-16 text.
bool StringOf(const std::vector<BYTE>& data, std::string* out) {
  if (data.size() % 2) return false;
  std::wstring w(reinterpret_cast<const wchar_t*>(data.data()), data.size() / 2);
  while (!w.empty() && w.back() == L'\0') w.pop_back();
  *out = Narrow(w);
  return true;
}

}  // namespace

std::string RegistryFilePath(int root) {
  if (root == RegLocalMachine) return "HKEY_LOCAL_MACHINE";
  if (root == RegCurrentUser) return "HKEY_CURRENT_USER";
  return std::string();
}

int RegistryQuery(int root, const std::string& key, const std::string& name, std::string* value) {
  HKEY rootKey = RootKey(root);
  if (!rootKey) return RegNone;
  HKEY k = nullptr;
  if (RegOpenKeyExW(rootKey, Widen(key).c_str(), 0, KEY_QUERY_VALUE, &k) != ERROR_SUCCESS) return RegNone;
  std::wstring wname = Widen(name);
  std::vector<BYTE> data;
  DWORD type = REG_NONE;
  LONG rc = ERROR_MORE_DATA;
  // The value may grow between the size query and the read.
  for (int tries = 0; rc == ERROR_MORE_DATA && tries < 4; ++tries) {
    DWORD size = 0;
    rc = RegQueryValueExW(k, wname.c_str(), nullptr, &type, nullptr, &size);
    if (rc != ERROR_SUCCESS) break;
    data.resize(size);
    rc = RegQueryValueExW(k, wname.c_str(), nullptr, &type, data.empty() ? nullptr : data.data(), &size);
    if (rc == ERROR_SUCCESS) data.resize(size);
  }
  RegCloseKey(k);
  if (rc != ERROR_SUCCESS) return RegNone;
  std::string text;
  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
      // An expandable string is handed over unexpanded, as stored.
      if (!StringOf(data, &text)) return RegNone;
      break;
    case REG_DWORD:
      if (data.size() != 4) return RegNone;
      text = std::to_string(*reinterpret_cast<const DWORD*>(data.data()));
      break;
    case REG_QWORD:
      if (data.size() != 8) return RegNone;
      text = std::to_string(*reinterpret_cast<const unsigned long long*>(data.data()));
      break;
    default:
      return RegNone;  // binary and multi-string values are not the player's
  }
  if (value) *value = text;
  return type == REG_SZ ? RegSz : type == REG_EXPAND_SZ ? RegExpandSz : type == REG_DWORD ? RegDword : RegQword;
}

int RegistrySet(int root, const std::string& key, const std::string& name, int type, const std::string& value) {
  HKEY rootKey = RootKey(root);
  if (!rootKey || key.empty() || name.empty()) return 0;
  std::vector<BYTE> data;
  DWORD winType = 0;
  unsigned long long n = 0;
  if (type == RegSz || type == RegExpandSz) {
    std::wstring w = Widen(value);
    const BYTE* p = reinterpret_cast<const BYTE*>(w.c_str());
    data.assign(p, p + (w.size() + 1) * sizeof(wchar_t));  // with the terminating NUL
    winType = type == RegSz ? REG_SZ : REG_EXPAND_SZ;
  } else if (type == RegDword && ParseNumber(value, type, &n)) {
    DWORD d = static_cast<DWORD>(n);
    data.assign(reinterpret_cast<const BYTE*>(&d), reinterpret_cast<const BYTE*>(&d) + sizeof d);
    winType = REG_DWORD;
  } else if (type == RegQword && ParseNumber(value, type, &n)) {
    data.assign(reinterpret_cast<const BYTE*>(&n), reinterpret_cast<const BYTE*>(&n) + sizeof n);
    winType = REG_QWORD;
  } else {
    return 0;
  }
  HKEY k = nullptr;
  if (RegCreateKeyExW(rootKey, Widen(key).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr, &k,
                      nullptr) != ERROR_SUCCESS)
    return 0;
  LONG rc = RegSetValueExW(k, Widen(name).c_str(), 0, winType, data.data(), static_cast<DWORD>(data.size()));
  RegCloseKey(k);
  return rc == ERROR_SUCCESS ? 1 : 0;
}
