#include "app/CQKNativeBackupApp.h"
#include "app/wv_outstream.h"

int main(int argc, char** argv) {
  try {
    CQKStringList args;
    for (int i = 0; i < argc; i++) {
      // Arguments are taken byte for byte: a path need not be UTF-8.
      CQKString arg;
      arg.SetFromUTF8(argv[i]);
      args.AddStringToList(arg, 0x7FFFFFFF);
    }
    return static_cast<int>(NativeBackupApp.Main(args));
  } catch (...) {
    wvcerr << wvendl << "Exception occurred!" << wvendl;
    return 1;
  }
}
