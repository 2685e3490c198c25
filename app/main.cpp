#include "app/CQKNativeBackupApp.h"
#include "app/wv_outstream.h"
#include "fs/qk_interrupt.h"

int main(int argc, char** argv) {
  try {
    CQKStringList args;
    for (int i = 0; i < argc; i++) {
      // Arguments are taken byte for byte: a path need not be UTF-8.
      CQKString arg;
      arg.SetFromUTF8(argv[i]);
      args.AddStringToList(arg, 0x7FFFFFFF);
    }
    // Before the first step, so no signal can end a run half done.
    qk_interrupt_install();
    return static_cast<int>(NativeBackupApp.Main(args));
  } catch (...) {
    wvcerr << wvendl << "Exception occurred!" << wvendl;
    return 1;
  }
}
