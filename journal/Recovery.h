#ifndef VELLORT_JOURNAL_RECOVERY_H
#define VELLORT_JOURNAL_RECOVERY_H

#include <vector>

#include "journal/Journal.h"

class LogFile;
class Storage;

namespace Recovery {

// At a start with a journal, once the storages have their shift back: hands
// every unfinished file back to the storages (numbered as in the journal), at
// the step each had booked, and sets them going. A file still to copy, or
// copied when the daemon stopped, is looked at again by the copy workers: a
// complete copy is kept, any other is made anew. A source found replaced by a
// link to its copy counts as linked, though the booking was lost. Deletions
// of earlier shifts start again.
void takeUp(const Journal::Contents& contents, const std::vector<Storage*>& storages, LogFile& logFile);

}  // namespace Recovery

#endif
