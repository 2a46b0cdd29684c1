// The same declaration with dllimport, as a project's own import macro gives it: the call goes
// through the import symbol __imp_?ornReOpenPort@@YAHXZ itself.
__declspec(dllimport) int ornReOpenPort();

int reopenThroughImport() {
    return ornReOpenPort();
}
