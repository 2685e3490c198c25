#ifndef QK_BACKUP_CQKRESULTTEXT_H_
#define QK_BACKUP_CQKRESULTTEXT_H_

#include "backup/CSQLiteBackup.h"
#include "strings/CQKString.h"

// The sentences of the job's step results, in one table each for the
// steps' own failures and for the database copy's outcomes. They are the
// system's fixed contract, byte for byte as administrators' scripts know
// them, typos included; what failed and why goes on the lines after.

// The sentence of `result` (step value plus error type), with `name` (a
// project directory) where the sentence names one, then `detail` on a line
// of its own when it is not empty.
CQKString qk_result_text(unsigned int result, const char* name,
                         const CQKString& detail);

// The result code of the database copy's outcome `error` (0 for success),
// and its sentence with `detail` after it into `text`.
unsigned int qk_database_result(CSQLiteBackup::BackupError error,
                                const CQKString& detail, CQKString& text);

#endif  // QK_BACKUP_CQKRESULTTEXT_H_
