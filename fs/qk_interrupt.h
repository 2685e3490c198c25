#ifndef QK_FS_QK_INTERRUPT_H_
#define QK_FS_QK_INTERRUPT_H_

// A request to stop the run, from SIGINT, SIGTERM or SIGHUP. The handlers
// only record the signal: long loops (database steps, copy and zip buffers,
// tree walks, lock waits) ask qk_interrupted() at their next safe point and
// fail as for any other error, so the job restores and cleans up as usual.
// A second signal during that clean-up is recorded and changes nothing.
// SIGPIPE is ignored: a closed standard output never stops a backup.
// The handlers are installed without SA_RESTART, so a blocking read or
// write returns EINTR and its loop gets to ask.

void qk_interrupt_install();
// The first signal that asked the run to stop, or 0.
int qk_interrupted();
// Records `signal` as if it had arrived; for tests of the loops.
void qk_interrupt_raise(int signal);
void qk_interrupt_clear();

#endif  // QK_FS_QK_INTERRUPT_H_
