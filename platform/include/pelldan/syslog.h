// The host's syslog: one record per call in the C library's format.
#pragma once

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// A record waits a few milliseconds at most for room in the collector's
// queue; one it did not take is dropped and counted.
void Syslog_VWrite(int priority, const char *format, va_list ap)
    __attribute__((format(printf, 2, 0)));
// One record of the length bytes at text, given whole: what a caller that
// builds its own text would pass to Syslog_VWrite as "%s".
void Syslog_Write(int priority, const char *text, size_t length);
// Records the collector never took (none there, or its queue stayed full).
uint64_t Syslog_DroppedRecords(void);
// Times a record waited for room in the collector's queue (or for its turn
// to), and the time those waits took in all, summed over the threads.
uint64_t Syslog_RoomWaits(void);
uint64_t Syslog_RoomWaitNanoseconds(void);
// From now on the calling thread's records wait, in order, until it calls
// Syslog_Release (or until enough wait to fill one send), and then go to
// the collector together: for a thread that logs many records in one
// short turn of work. Those the collector has no room for are sent after
// the thread goes on, in order, by a thread of the process; each waits for
// room as one written alone would, and one the collector did not take is
// dropped and counted.
void Syslog_Hold(void);
// Sends what the calling thread holds and stops holding.
void Syslog_Release(void);
// Waits until every record written so far has gone to the collector or
// been dropped, at most a second: before a process ends without its exit
// handlers (abort, _exit), which would lose those still waiting for room.
void Syslog_Flush(void);
// For a handler of a fatal signal: what the calling thread holds, with one
// send that neither waits nor locks; what does not fit is lost.
void Syslog_ReleaseInSignal(void);

#ifdef __cplusplus
}
#endif
