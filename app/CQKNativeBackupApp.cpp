#include "app/CQKNativeBackupApp.h"

#include <unistd.h>

#include <cstring>
#include <memory>

#include "app/CQKProgressLine.h"
#include "app/WVDateTime.h"
#include "app/wv_outstream.h"
#include "fs/qk_path.h"

CQKNativeBackupApp NativeBackupApp;

namespace {

// More than this many arguments after the program name is a usage error.
const unsigned int kMaxArguments = 6;

const char kHelpText[] =
    "Tarnwell Native Database Backup Utility\n"
    "Usage: ./qkZareviVovoreRevu [-d] [-f] [-n] [-t<path>] <source project> \n"
    "       <backup.zip>\n"
    "  -d                 Only back up the database file without attachments "
    "and\n"
    "                     other external data.\n"
    "  -f                 Overwrite backup.zip if it exists.\n"
    "  -n                 Do not zip the backup directory.\n"
    "  -t<path>           Path to use for temporary files. Defaults to the \n"
    "                     operating system temp directory.\n"
    "  <source project>   Full path to the project directory to back up.\n"
    "  <backup.zip>       Full path and file name for the zip backup file.\n";

const char kVersionText[] =
    "Tarnwell Native Database Backup Utility version 1.5\n"
    "SQLite version 3.7.3\n";

// A percentage after the title of the long steps, on a terminal only: logs,
// pipes and scripts get exactly the transcript. The database copy reports its
// total in pages itself; the copies and the archive count bytes beforehand.
// Step 1 shows no percentage, but its line is still put right after it.
std::unique_ptr<CQKProgressLine> StartProgress(const CQKNativeBackup& job,
                                               CQKNativeBackup::Step step,
                                               const CQKString& title) {
  if (isatty(STDOUT_FILENO) != 1) return nullptr;
  const uint64_t total = step == CQKNativeBackup::kStepCreateTempDirectory ||
                                 step == CQKNativeBackup::kStepBackupDB
                             ? 0
                             : job.CountStepBytes(step);
  return std::make_unique<CQKProgressLine>(title, total);
}

// Options made only of these letters set each one: -fn acts as -f -n.
bool IsFlagGroup(const CQKString& option) {
  for (unsigned int i = 1; i < option.GetLength(); i++) {
    if (strchr("DFNdfn", option[i]) == nullptr) return false;
  }
  return true;
}

bool IsText(const CQKString& text, const char* literal) {
  return strcmp(text.GetSafeStringPtr(), literal) == 0;
}

}  // namespace

void CQKNativeBackupApp::OutputNativeBackupHelp(bool toStandardError) const {
  (toStandardError ? wvcerr : wvcout) << kHelpText;
}

void CQKNativeBackupApp::OutputVersion() const { wvcout << kVersionText; }

unsigned int CQKNativeBackupApp::ProcessArgs(const CQKStringList& args,
                                             CBackupParameters& params) {
  const unsigned int count = args.GetCount();
  unsigned int result = kArgsContinue;
  if (count > kMaxArguments + 1) {
    result = Refuse("too many arguments", CQKString::kEmptyString);
  }
  for (unsigned int k = 2; k <= count && result == kArgsContinue; k++) {
    result = ProcessArg(*args.GetStringAt(k), params);
  }
  // An empty path still counts as given: the job reports it as empty.
  if (result == kArgsContinue && params.pathCount < 2) {
    result = Refuse(params.pathCount == 0 ? "missing source project"
                                          : "missing destination",
                    CQKString::kEmptyString);
  }
  if (result != kArgsInvalid) return result;
  // "-t /var/tmp" took the path for a project: say what was meant.
  for (unsigned int k = 2; k < count; k++) {
    const CQKString& arg = *args.GetStringAt(k);
    if (arg.GetLength() == 2 && arg[0] == '-' && (arg[1] | 0x20) == 't') {
      Refuse("-t needs its path without a space: -t", *args.GetStringAt(k + 1));
    }
  }
  wvcerr << usageProblem_.GetSafeStringPtr() << wvendl;
  OutputNativeBackupHelp(true);
  return kArgsInvalid;
}

unsigned int CQKNativeBackupApp::Refuse(const char* problem,
                                        const CQKString& arg) {
  usageProblem_ = problem;
  usageProblem_ += arg;
  return kArgsInvalid;
}

unsigned int CQKNativeBackupApp::ProcessArg(const CQKString& arg,
                                            CBackupParameters& params) {
  if (arg.GetCharLength() >= 2 && arg[0] == '-') {
    if (arg[1] == '-') return ProcessLongOption(arg);
    if (IsFlagGroup(arg)) {
      for (unsigned int i = 1; i < arg.GetLength(); i++) {
        ProcessOption(arg[i], arg, params);
      }
      return kArgsContinue;
    }
    // Otherwise only the letter after '-' counts: -dx acts as -d, -help as -h.
    return ProcessOption(arg[1], arg, params);
  }

  if (params.pathCount == 2) return Refuse("unexpected argument ", arg);
  CQKString& path = params.pathCount == 0 ? params.sourceProjectPath
                                          : params.destinationPath;
  params.pathCount++;
  // An empty argument stays empty rather than naming the current directory.
  if (arg.GetLength() != 0) GetFullPathFromAnyPathInput(arg, path, nullptr);
  return kArgsContinue;
}

unsigned int CQKNativeBackupApp::ProcessOption(char letter,
                                               const CQKString& arg,
                                               CBackupParameters& params) {
  CQKString upper(letter);
  upper.MakeUpper();
  switch (upper[0]) {
    case 'D':
      params.databaseOnly = true;
      return kArgsContinue;
    case 'F':
      params.overwrite = true;
      return kArgsContinue;
    case 'H':
      OutputNativeBackupHelp(false);
      return kArgsDone;
    case 'N':
      params.zip = false;
      return kArgsContinue;
    case 'T':
      GetFullPathFromAnyPathInput(
          arg.Right(static_cast<int>(arg.GetLength()) - 2),
          params.tempFilesPath, nullptr);
      return kArgsContinue;
    case 'V':
      OutputVersion();
      return kArgsDone;
    default:
      return Refuse("unknown option ", arg);
  }
}

unsigned int CQKNativeBackupApp::ProcessLongOption(const CQKString& arg) {
  if (IsText(arg, "--help")) {
    OutputNativeBackupHelp(false);
    return kArgsDone;
  }
  if (IsText(arg, "--version")) {
    OutputVersion();
    return kArgsDone;
  }
  return Refuse("unknown option ", arg);
}

unsigned int CQKNativeBackupApp::PerformStep(CQKNativeBackup& job,
                                             CQKNativeBackup::Step step,
                                             const CQKString& title) {
  // The title shows before the step starts its work; the outcome follows on
  // the same line.
  wvcout << wvendl << title.GetSafeStringPtr();
  wvcout.flush();

  CWVDateTime started;
  CWVDateTime finished;
  started.SetWithCurrentDateTime();
  std::unique_ptr<CQKProgressLine> progress = StartProgress(job, step, title);
  context_.SetProgressLine(progress.get());
  unsigned int result = 0;
  switch (step) {
    case CQKNativeBackup::kStepCreateTempDirectory:
      result = job.CreateTempDirectory();
      break;
    case CQKNativeBackup::kStepBackupDB:
      result = job.BackupDB();
      break;
    case CQKNativeBackup::kStepCopyProjectDirectories:
      result = job.CopyProjectDirectories();
      break;
    case CQKNativeBackup::kStepCreateZipFile:
      result = job.CreateZipFile();
      break;
    case CQKNativeBackup::kStepFinalCopyProject:
      result = job.FinalCopyProject();
      break;
  }
  context_.SetProgressLine(nullptr);
  progress.reset();  // the outcome takes the percentage's place
  finished.SetWithCurrentDateTime();

  if (result == CQKNativeBackup::kSkipped) {
    wvcout << "Skipped" << wvendl;
    return 0;
  }
  if (result == 0) {
    CQKString outcome;
    outcome.SafeFormat("Complete (%f minutes)",
                       finished.GetDifferenceInMinutesSince(started));
    wvcout << outcome.GetSafeStringPtr() << wvendl;
    return 0;
  }
  wvcout << "Error" << wvendl;
  wvcerr << wvendl << job.GetErrorText().GetSafeStringPtr() << wvendl;
  wvcout.flush();
  return result;
}

unsigned int CQKNativeBackupApp::RunSteps(CQKNativeBackup& job,
                                          const CBackupParameters& params) {
  struct {
    CQKNativeBackup::Step step;
    const char* title;
  } const steps[] = {
      {CQKNativeBackup::kStepCreateTempDirectory,
       " 1. Create temporary directory ... "},
      {CQKNativeBackup::kStepBackupDB, " 2. Hot backup .db ... "},
      {CQKNativeBackup::kStepCopyProjectDirectories,
       " 3. Copy directories ... "},
      {params.zip ? CQKNativeBackup::kStepCreateZipFile
                  : CQKNativeBackup::kStepFinalCopyProject,
       params.zip ? " 4. Create .zip ... " : " 4. Create final copy ... "},
  };
  for (const auto& s : steps) {
    const unsigned int result = PerformStep(job, s.step, CQKString(s.title));
    if (result != 0) return result;
  }
  return 0;
}

void CQKNativeBackupApp::FinishRun(CQKNativeBackup& job,
                                   const CBackupParameters& params,
                                   bool failed) {
  if (failed && !params.zip) job.RevertNameChange();
  job.Cleanup(false);
}

unsigned int CQKNativeBackupApp::Main(const CQKStringList& args) {
  CBackupParameters params;
  const unsigned int parsed = ProcessArgs(args, params);
  if (parsed != kArgsContinue) return parsed;

  CQKNativeBackup job(params, context_);
  CWVDateTime start;
  CWVDateTime end;
  wvcout << wvendl << "Backup is running (four steps):" << wvendl;
  wvcout.flush();
  start.SetWithCurrentDateTime();

  unsigned int result;
  try {
    result = RunSteps(job, params);
  } catch (...) {
    // Out of memory: restore and clean up before the entry reports it.
    try {
      FinishRun(job, params, true);
    } catch (...) {
    }
    throw;
  }
  end.SetWithCurrentDateTime();

  if (result == 0) {
    CQKString done;
    done.SafeFormat("The backup was successfully completed in %f minutes.",
                    end.GetDifferenceInMinutesSince(start));
    wvcout << wvendl << done.GetSafeStringPtr() << wvendl << wvendl;
    wvcout.flush();
  }
  FinishRun(job, params, result != 0);
  return ExitStatus(result);
}

// The result code, but for an interrupted run: as a shell reports a process
// the signal ended. One that arrives after the last step changes nothing.
unsigned int CQKNativeBackupApp::ExitStatus(unsigned int result) const {
  if ((result & 0xFF) != CQKNativeBackup::kInterrupted) return result;
  return 128 + static_cast<unsigned int>(context_.GetStopSignal());
}
