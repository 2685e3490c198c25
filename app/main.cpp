#include "app/CQKConsoleContext.h"
#include "app/CQKNativeBackupApp.h"
#include "app/wv_outstream.h"

#include <malloc.h>

int main(int argc, char** argv) {
  // Every archive entry sets up and frees a deflate state of about 260 KB;
  // glibc would give it back to the system each time and fault it in anew.
  mallopt(M_TRIM_THRESHOLD, 16 << 20);
  try {
    CQKStringList args;
    for (int i = 0; i < argc; i++) {
      // Arguments are taken byte for byte: a path need not be UTF-8.
      CQKString arg;
      arg.SetFromUTF8(argv[i]);
      args.AddStringToList(arg, 0x7FFFFFFF);
    }
    // Before the first step, so no signal can end a run half done.
    CQKConsoleContext::InstallSignalHandlers();
    return static_cast<int>(NativeBackupApp.Main(args));
  } catch (...) {
    wvcerr << wvendl << "Exception occurred!" << wvendl;
    return 1;
  }
}
