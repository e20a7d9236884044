#ifndef VELLORT_LEDGER_HISTORYCHANGE_H
#define VELLORT_LEDGER_HISTORYCHANGE_H

// A change to the counts of one user shift in a storage's copy history: the
// ledger adds it to its HistEntry, the journal to its history row. A file
// counts in one of pending, copied and failed at a time, so a step moves it
// (-1 where it was, +1 where it goes); a copy read back adds to verified or
// verifyFailed besides. Made by the named functions below, so that each
// booking says which move it is and no sign can be swapped by hand.
// A plain value: any thread.
struct HistoryChange {
    // Where a file counts.
    enum Column { PENDING, COPIED, FAILED };

    int pending = 0, copied = 0, failed = 0, verified = 0, verifyFailed = 0;

    // A newly announced file.
    static HistoryChange announced() { return {1, 0, 0, 0, 0}; }
    // A file that counted in `from` and now counts in `to`; none when they are the same.
    static HistoryChange moved(Column from, Column to) {
        HistoryChange change;
        change._column(from) -= 1;
        change._column(to) += 1;
        return change;
    }
    // A copy made of a file that counted in `from`, read back and found
    // right too where `verified` (both in one booking).
    static HistoryChange copiedFrom(Column from, bool verified = false) {
        HistoryChange change = moved(from, COPIED);
        change.verified = verified ? 1 : 0;
        return change;
    }
    // A copy of a file that was pending, not read back.
    static HistoryChange copiedFromPending() { return copiedFrom(PENDING); }
    // A copy read back: found equal to its file's reference hash, or not.
    // The file stays where it counts.
    static HistoryChange verification(bool verified) { return {0, 0, 0, verified ? 1 : 0, verified ? 0 : 1}; }

    bool isNone() const { return pending == 0 && copied == 0 && failed == 0 && verified == 0 && verifyFailed == 0; }

private:
    int& _column(Column column) { return column == PENDING ? pending : column == COPIED ? copied : failed; }
};

#endif
