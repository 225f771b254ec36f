// The installer's helper: writes the player's application user model id into a shortcut
// (System.AppUserModel.ID), which NSIS cannot do by itself; "--read" prints the id a
// shortcut carries. It runs from the installer's temporary folder and is not installed.
//   shortcut-id <file.lnk> [--read]
// Exit codes: 0 done, 1 usage, 2 the shortcut cannot be loaded, 3 it has no property
// store, 4 the id could not be written or saved, 5 (--read) it carries no id.
#include <windows.h>
// These need the types of windows.h first.
#include <objbase.h>
#include <propidl.h>
#include <propsys.h>
#include <shellapi.h>
#include <shlobj.h>

#include <cstdio>
#include <string>

#include "runtime/win/app_id.h"

namespace {

// System.AppUserModel.ID, written out: MinGW's libraries do not all export it.
const PROPERTYKEY kIdKey = {{0x9F4C2855, 0x9F79, 0x4B39, {0xA8, 0xD0, 0xE1, 0xD4, 0x2D, 0xE1, 0xD5, 0xF3}}, 5};

template <class T>
struct Com {
  T* p = nullptr;
  ~Com() {
    if (p) p->Release();
  }
};

int Run(const wchar_t* path, bool read) {
  Com<IShellLinkW> link;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                              reinterpret_cast<void**>(&link.p))))
    return 2;
  Com<IPersistFile> file;
  if (FAILED(link.p->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file.p))) ||
      FAILED(file.p->Load(path, read ? STGM_READ : STGM_READWRITE)))
    return 2;
  Com<IPropertyStore> store;
  if (FAILED(link.p->QueryInterface(IID_IPropertyStore, reinterpret_cast<void**>(&store.p)))) return 3;
  if (read) {
    PROPVARIANT value;
    PropVariantInit(&value);
    int rc = 5;
    if (SUCCEEDED(store.p->GetValue(kIdKey, &value)) && value.vt == VT_LPWSTR && value.pwszVal) {
      char out[512] = {};
      WideCharToMultiByte(CP_UTF8, 0, value.pwszVal, -1, out, sizeof out - 1, nullptr, nullptr);
      std::printf("%s\n", out);
      rc = 0;
    }
    PropVariantClear(&value);
    return rc;
  }
  PROPVARIANT value;
  PropVariantInit(&value);
  value.vt = VT_LPWSTR;
  // The store copies the value; the text itself is never freed through the variant.
  value.pwszVal = const_cast<wchar_t*>(CORVALE_APP_USER_MODEL_ID);
  if (FAILED(store.p->SetValue(kIdKey, value)) || FAILED(store.p->Commit())) return 4;
  return SUCCEEDED(file.p->Save(path, TRUE)) ? 0 : 4;
}

}  // namespace

int main() {
  int argc = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (!argv || argc < 2 || argc > 3 || (argc == 3 && std::wstring(argv[2]) != L"--read")) {
    std::fprintf(stderr, "usage: shortcut-id <file.lnk> [--read]\n");
    return 1;
  }
  HRESULT co = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  int rc = Run(argv[1], argc == 3);
  if (SUCCEEDED(co)) CoUninitialize();
  LocalFree(argv);
  return rc;
}
