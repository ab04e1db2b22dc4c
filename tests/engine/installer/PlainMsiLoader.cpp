// The control of the planted-DLL test: loads msi.dll the plain way, which searches the program's own folder
// first. Exits 0 when that load succeeded, so the test knows that a planted DLL would have been found.
#include <windows.h>

int wmain() { return LoadLibraryW(L"msi.dll") != nullptr ? 0 : 1; }
