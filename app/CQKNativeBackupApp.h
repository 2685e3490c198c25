#ifndef QK_APP_CQKNATIVEBACKUPAPP_H_
#define QK_APP_CQKNATIVEBACKUPAPP_H_

#include "app/CQKConsoleContext.h"
#include "backup/CBackupParameters.h"
#include "backup/CQKNativeBackup.h"
#include "containers/CQKStringList.h"
#include "strings/CQKString.h"

// The utility itself: parses the command line, serves help and version, and
// runs one backup job step by step with its console transcript. Main's
// result is the process exit status: 0 success, 1 usage error, 128 plus the
// signal for an interrupted run, otherwise the failing step's result code.
class CQKNativeBackupApp {
 public:
  // What ProcessArgs and ProcessArg answer.
  enum ArgsResult { kArgsDone = 0, kArgsInvalid = 1, kArgsContinue = 2 };

  virtual ~CQKNativeBackupApp() = default;

  // `args` holds the program name first, then each argument.
  unsigned int Main(const CQKStringList& args);
  unsigned int ProcessArgs(const CQKStringList& args,
                           CBackupParameters& params);
  unsigned int ProcessArg(const CQKString& arg, CBackupParameters& params);
  // Runs one step with its title and outcome; 0 when it succeeded or was
  // skipped, otherwise its result code.
  unsigned int PerformStep(CQKNativeBackup& job, CQKNativeBackup::Step step,
                           const CQKString& title);
  void OutputNativeBackupHelp(bool toStandardError) const;

 private:
  void OutputVersion() const;
  // One option letter of `arg`; `arg` also carries the -t path.
  unsigned int ProcessOption(char letter, const CQKString& arg,
                             CBackupParameters& params);
  unsigned int ProcessLongOption(const CQKString& arg);
  unsigned int RunSteps(CQKNativeBackup& job, const CBackupParameters& params);
  void FinishRun(CQKNativeBackup& job, const CBackupParameters& params,
                 bool failed);
  unsigned int ExitStatus(unsigned int result) const;
  // Notes why the command line is refused, `problem` then `arg`, for the
  // line that goes before the help; answers kArgsInvalid.
  unsigned int Refuse(const char* problem, const CQKString& arg);

  CQKString usageProblem_;

  // Asks the run to stop on a signal; shows the step's progress.
  CQKConsoleContext context_;
};

extern CQKNativeBackupApp NativeBackupApp;

#endif  // QK_APP_CQKNATIVEBACKUPAPP_H_
