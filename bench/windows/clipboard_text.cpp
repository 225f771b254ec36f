// Writes the Windows clipboard's text (CF_UNICODETEXT) to a file as UTF-8, byte for byte
// (line ends as they are), for the screenshot script's comparison with the Linux build.
//   clipboard-text.exe <file>
#include <windows.h>

#include <cstdio>
#include <string>

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 1;
  if (!OpenClipboard(nullptr)) return 2;
  int rc = 3;
  if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
    if (const wchar_t* text = static_cast<const wchar_t*>(GlobalLock(data))) {
      int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
      std::string out(n > 0 ? n - 1 : 0, '\0');
      if (n > 1) WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
      GlobalUnlock(data);
      if (FILE* f = _wfopen(argv[1], L"wb")) {
        fwrite(out.data(), 1, out.size(), f);
        fclose(f);
        rc = 0;
      }
    }
  }
  CloseClipboard();
  return rc;
}
