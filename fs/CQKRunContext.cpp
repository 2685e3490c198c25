#include "fs/CQKRunContext.h"

CQKRunContext& CQKRunContext::Quiet() {
  // Holds no state: every caller may share it.
  static CQKRunContext quiet;
  return quiet;
}
