#!/usr/bin/env python3
"""Mutation run of the daemon's sources: how many realistic faults the tests catch.

Each mutant is one exact text replacement in one source file. The script
copies the committed tree (HEAD) into a scratch directory, builds it once,
checks that the unmutated suite passes, and then, one mutant at a time,
applies the replacement, rebuilds incrementally and runs the tests. A mutant
is killed when the build or at least one test fails. The repository checkout
itself is never touched.

    tools/mutate.py --list                 the mutants, and whether each applies to HEAD
    tools/mutate.py                        every mutant
    tools/mutate.py --only 3,17 --keep     two of them; the scratch build stays for the next run
    tools/mutate.py --report table.txt     the result table, also written to a file
    tools/mutate.py --every-failure        the whole suite per mutant: every test that kills it, to see
                                           which tests kill a mutant no other test does

The numbers are positions in MUTANTS: add new mutants at the end, so that
the numbers of a report stay comparable with later runs.
"""

import argparse
import fcntl
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from collections import namedtuple
from pathlib import Path

# `suspects`, when given, is a ctest regular expression of the tests most
# likely to catch the fault (without: the tests of its folder): they run first,
# and the rest of the suite only if they pass, so a killed mutant costs seconds
# and a survivor the whole suite, as before. The verdict is the same as with
# the whole suite at once.
Mutant = namedtuple("Mutant", "file original replacement description suspects", defaults=("",))

# Faults a developer could really make. The original text must occur exactly
# once in its file at HEAD; a mutant whose text is missing or ambiguous is
# reported and skipped, never guessed at.
MUTANTS = [
    Mutant("copy/CopyEngine.cc",
           "            done += put;",
           "            done = got;  // a short write taken for a whole one",
           "a short write() during a copy is taken as complete: the copy is silently cut"),
    Mutant("space/FillPolicy.cc",
           "batchSize = std::max(batchSize / 2, minimumBatchSize);",
           "batchSize = batchSize / 2;",
           "a drained file system halves the link batch below minimumBatchSize"),
    Mutant("copy/CopyThread.cc",
           "int64_t pause = second << std::min<uint32_t>(attempts - 1, 30);",
           "int64_t pause = second;",
           "the retry delay is not doubled from attempt to attempt"),
    Mutant("ledger/DebitCredit.cc",
           "while (static_cast<int>(history_.size()) >= maxHistoryEntries) history_.pop_back();",
           "while (static_cast<int>(history_.size()) > maxHistoryEntries) history_.pop_back();",
           "a new shift keeps one history entry more than history_max_entries"),
    Mutant("intake/ListThread.cc",
           "if (now <= next.time) now = upcomingHasFiles ? next.time + 1 : next.time;",
           "if (now < next.time) now = upcomingHasFiles ? next.time + 1 : next.time;",
           "two user shifts within one second get the same shift time"),
    Mutant("net/TCPSocket.cc",
           "if (line.size() >= maxLineLength) {",
           "if (line.size() > maxLineLength) {",
           "a line of exactly maxLineLength bytes without newline is not refused"),
    Mutant("journal/Journal.cc",
           "if (!step(entry) || !step(trim)) return false;",
           "if (!step(entry)) return false;",
           "the journal's history is not trimmed at a new shift"),
    Mutant("log/LogFile.cc",
           "for (int i = count - 1; i >= 0; --i) {",
           "for (int i = count - 1; i > 0; --i) {",
           "log rotation does not move backup .0 on: the previous backup is overwritten"),
    Mutant("daemon/ConfigFileParser.cc",
           "if (line.size() > maxLineLength) {",
           "if (line.size() >= maxLineLength) {",
           "a config line of exactly the maximum length ends the reading"),
    Mutant("thread/ThreadPool.cc",
           "            --pool->busy;",
           "",
           "a finished task does not give its pool thread back (busy count not decremented)"),
    Mutant("metrics/Exposition.cc",
           "if ((code >= 1 && code <= knownMessageCodes) || sent != 0)",
           "if ((code >= 1 && code < knownMessageCodes) || sent != 0)",
           "the last known message code has no series while it is 0"),
    Mutant("status_page/StatusPage.cc",
           "if (messages().size() > static_cast<size_t>(keptMessages)) messages().pop_front();",
           "if (messages().size() > static_cast<size_t>(keptMessages)) messages().pop_back();",
           "the message ring drops its newest message instead of its oldest"),
    Mutant("systemd/ServiceNotifier.cc",
           "if (since != 0 && now - since > limit",
           "if (now - since > limit",
           "an idle worker's stamp counts as stuck: the watchdog pings stop"),
    Mutant("copy/CopyEngine.cc",
           "access | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC",
           "access | O_CREAT | O_NOFOLLOW | O_CLOEXEC",
           "O_EXCL lost: a leftover .tmp is reused, not truncated"),
    Mutant("space/LinkThread.cc",
           "if (!roleOf(params.type).waitsForInternalCopy) return;",
           "if (roleOf(params.type).waitsForInternalCopy) return;",
           "the wrong storage holds back files that INTERNAL has not copied yet"),
    Mutant("copy/CopyWorkerThread.cc",
           "_failed(file, attempts, !sourceGone,",
           "_failed(file, attempts, sourceGone,",
           "retries inverted: a gone source is retried, a mendable failure given up"),
    Mutant("ledger/DebitCredit.cc",
           "        currentCount -= static_cast<uint32_t>(moved);",
           "",
           "links handed out for removal are not taken off the current count"),
    Mutant("intake/Announcement.cc",
           "if (value > UINT32_MAX) return false;",
           "if (value >= UINT32_MAX) return false;",
           "uid or gid 4294967295 in a user shift is refused"),
    Mutant("net/MessageServer.cc",
           "uint32_t length = static_cast<uint32_t>(4 + subject.size() + 1 + text.size() + 1);",
           "uint32_t length = static_cast<uint32_t>(4 + subject.size() + 1 + text.size());",
           "a message frame's length leaves out the text's final NUL"),
    Mutant("journal/Recovery.cc",
           "look(*origin, atOrigin, source) && S_ISLNK(source.st_mode))",
           "look(*origin, atOrigin, source) && S_ISREG(source.st_mode))",
           "recovery takes a plain file at the origin for a link made before the stop"),
    Mutant("log/LogFile.cc",
           "return \"++ Left out \" + std::to_string(repeat.leftOut)",
           "return \"++ Skipped \" + std::to_string(repeat.leftOut)",
           "the text of the repeated-problem summary line changed"),
    Mutant("daemon/Daemon.cc",
           "if (mkfifo(path.c_str(), 0600) != 0) {",
           "if (mkfifo(path.c_str(), 0666) != 0) {",
           "the announcement pipe is made writable for everyone"),
    Mutant("thread/SlimRwLock.cc",
           "if ((seen & (writer | readers)) == 0) {",
           "if ((seen & writer) == 0) {",
           "a writer takes a file's lock while readers hold it"),
    Mutant("copy/CopyEngine.cc",
           "    if (::fchmod(out, mode) != 0) return fail(COPY_OWNER);",
           "",
           "fchmod of the copy lost: it keeps the umask-narrowed creation mode"),
    Mutant("space/ReleaseGuard.cc",
           "if (copy.st_size != place.status.st_size)",
           "if (copy.st_size > place.status.st_size)",
           "a copy shorter than its source is accepted before the source goes"),
    Mutant("copy/CopyWorkerThread.cc",
           "        if (!made) copyThread.endCopy(relative);  // a copy made keeps its path until it is booked",
           "",
           "a copied path is never released: a later copy of it waits for ever"),
    Mutant("copy/CopyEngine.cc",
           "    if (preserveUid || preserveGid) {",
           "    if (preserveUid && preserveGid) {",
           "the copy's owner is set only when both uid and gid are preserved"),
    Mutant("space/DelThread.cc",
           "        if (deletions.add(file, false)) _bookDeletions();\n        return KEPT;",
           "        if (deletions.add(file, true)) _bookDeletions();\n        return KEPT;",
           "a file kept by the release check is booked as deleted"),
    Mutant("ledger/Storage.cc",
           "return roleOf(type).releases != CascadeRole::NOTHING;",
           "return roleOf(type).releases == CascadeRole::RAMDISK_FILES;",
           "the EXTERNAL storage is taken for an OPTIONAL one and manages no space"),
    Mutant("util/Paths.cc",
           "before.compare(0, directory.size(), directory) == 0 &&\n        before[directory.size()] == '/')",
           "before.compare(0, directory.size(), directory) == 0)",
           "a path below /ramdisk2 counts as below the RAM disk /ramdisk"),
    Mutant("util/TrustedTree.cc",
           "how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;",
           "how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;",
           "the openat2 walk follows symbolic links below the base"),
    Mutant("space/LinkThread.cc",
           "if (!S_ISLNK(place.status.st_mode)) {\n            logFile << \"Warning: Not removing \" << path << \": it is no longer a symbolic link\"",
           "if (S_ISDIR(place.status.st_mode)) {\n            logFile << \"Warning: Not removing \" << path << \": it is no longer a symbolic link\"",
           "link removal deletes a regular file that has taken the link's place"),
    Mutant("ledger/DebitCredit.cc",
           "    counters_.pending.fetch_sub(1, std::memory_order_relaxed);",
           "",
           "the pending gauge is not decremented when a file's copy ends"),
    Mutant("status_page/StatusPage.cc",
           "return code == MessageServer::OVERFLOW_ERROR || code >= MessageServer::COPY_ERROR;",
           "return code == MessageServer::OVERFLOW_ERROR || code > MessageServer::COPY_ERROR;",
           "copy errors are not marked as errors on the status page"),
    Mutant("util/Stop.cc",
           "    if (!allowed_) --steps;",
           "",
           "a file step refused at a stop stays counted: the stop waits out its grace time"),
    Mutant("net/ClientRegisterThread.cc",
           "if (heldConnections.load() >= workers + waiting)",
           "if (heldConnections.load() > workers + waiting)",
           "one client more than the limit is let in to wait"),
    Mutant("space/ReleaseGuard.cc",
           "    if (expected != identity) return \"has changed since it was copied\";",
           "",
           "a source changed in place after its copy is still released"),
    Mutant("copy/CopyThread.cc",
           "if (count > 0 && maxFiles > 0 && count >= maxFiles) return false;",
           "if (count > 0 && maxFiles > 0 && count > maxFiles) return false;",
           "a copy job takes one file more than copy_job_max_files"),
    Mutant("daemon/ConfigFileParser.cc",
           "if (word == \"no\" || word == \"NO\") return false;",
           "if (word == \"no\") return false;",
           "a flag set to NO is taken as yes"),
    Mutant("systemd/ServiceNotifier.cc",
           "if (roleOf(storage->getParams().type).watchesRamdisk && gauges != nullptr)",
           "if (!roleOf(storage->getParams().type).watchesRamdisk && gauges != nullptr)",
           "the status line reports the wrong storage's fill state as the RAM disk's"),
    Mutant("intake/ListThread.cc",
           "open(pipePath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));",
           "open(pipePath.c_str(), O_RDONLY | O_CLOEXEC));",
           "O_NOFOLLOW lost: the reader follows a link planted at the pipe's path"),
    Mutant("daemon/PidFile.cc",
           "    } else if (status.st_nlink != 1) {",
           "    } else if (status.st_nlink < 1) {",
           "a pid file with a second name (hard link) is taken over"),
    Mutant("ledger/FileInfo.cc",
           "identity.mtimeSeconds = packed.mtime / 1000000000 - (packed.mtime % 1000000000 < 0 ? 1 : 0);",
           "identity.mtimeSeconds = packed.mtime / 1000000000;",
           "a recorded mtime before 1970 comes back one second off"),
    Mutant("space/FillTrend.cc",
           "if (age > window) continue;",
           "if (age > window) break;",
           "one sample older than the window drops every newer one from the estimate"),
    Mutant("copy/CopyWorkerThread.cc",
           "    job.flush.watch(std::move(made.descriptor), static_cast<dev_t>(made.copy.device));",
           "",
           "a copy's file system is left out of its job's flush: the copy is booked before it is on the disk"),
    Mutant("copy/CopyEngine.cc",
           "    if (::renameat(dir, temporary.c_str(), dir, name.c_str()) != 0) return fail(COPY_RENAME);",
           "    ::renameat(dir, temporary.c_str(), dir, name.c_str());",
           "the result of the copy's final rename is not checked: a failed rename reports success"),
    Mutant("copy/CopyWorkerThread.cc",
           "FileInfo(file).setFlag(role.copyEndedFlag);",
           "FileInfo(file).setFlag(params.type == StorageType::EXTERNAL ? FileInfo::INTERNAL_COPY_ENDED : role.copyEndedFlag);",
           "the EXTERNAL storage's final copy failure sets INTERNAL's flag"),
    # Copies durable, disks that fail, events: faults in the code that keeps its word after a power cut.
    Mutant("events/Publisher.cc",
           "    for (Row& row : window_) row.sent = false;\n",
           "",
           "after a lost connection the events sent but not acknowledged are not sent again", "EventsTest"),
    Mutant("journal/Journal.cc",
           "DELETE FROM outbox WHERE seq <= ?",
           "DELETE FROM outbox WHERE seq < ?",
           "the last acknowledged event stays in the outbox and goes out again after a restart", "EventsTest"),
    Mutant("events/Publisher.cc",
           "        ackedUpTo_ = window_.front().seq;",
           "        ackedUpTo_ = window_.back().seq;",
           "one acknowledgement books the whole window as sent: a kill loses the events not acknowledged",
           "EventsTest"),
    Mutant("events/Publisher.cc",
           "    moreInOutbox_ = read == wanted;",
           "    moreInOutbox_ = false;",
           "a backlog longer than the window waits for the next commit before more of it is read", "EventsTest"),
    Mutant("util/Json.cc",
           "        if (c == '\"' || c == '\\\\') {",
           "        if (c == '\"') {",
           "a backslash in a path goes into an event's JSON unescaped", "EventsTest|StatusJson|Monitoring"),
    Mutant("util/FileSystemFlush.cc",
           "        if (::syncfs(system.fd.get()) != 0 && error == 0) error = errno;",
           "        (void)::syncfs(system.fd.get());",
           "a failed syncfs goes unreported: copies on a dying disk count as made and their files are let go",
           "StorageState|PowerCut|StorageCascade"),
    Mutant("copy/CopyWorkerThread.cc",
           "    if (error != 0 && params.health != nullptr) params.health->targetFailed(error);",
           "",
           "a failed flush does not reach the storage's health: a dying disk raises no alarm", "StorageState"),
    Mutant("copy/CopyWorkerThread.cc",
           "        } else if (error == 0) {\n            _book(copy, job.summary);",
           "        } else if (error == 0 || error == EIO) {\n            _book(copy, job.summary);",
           "copies whose flush failed with EIO are booked as made", "StorageState|PowerCut"),
    Mutant("copy/CopyEngine.cc",
           "if (!reference.empty() && (!hashOpenFile(fd.get(), hash) || hash != reference))",
           "if (!reference.empty() && !hashOpenFile(fd.get(), hash))",
           "a copy left by an earlier run is kept without being checked against the file's reference hash",
           "StorageCascade|Recovery"),
    Mutant("journal/Recovery.cc",
           "        (open.size >= 0 && status.st_size != open.size))",
           "        false)",
           "recovery counts a file as released before the stop on an EXTERNAL copy of any size", "Recovery|Crash"),
    Mutant("health/StorageHealth.cc",
           "    return state == UP && !refilling && !diskToCheck;",
           "    return state == UP && !diskToCheck;",
           "a replaced disk vouches for releases while it is still being refilled", "StorageState|StorageHealth"),
    Mutant("health/StorageHealth.cc",
           "    if (!isDiskError(errnum)) return;",
           "    if (isDiskError(errnum)) return;",
           "disk errors are ignored, and any other failed copy marks the disk failing", "StorageState|StorageHealth"),
    Mutant("health/StorageHealth.cc",
           "    MutexGuard guard(mutex);\n    if (state != UP) _leave();",
           "    MutexGuard guard(mutex);",
           "a copy made on a disk that is back does not end its alarm", "StorageState|StorageHealth"),
    Mutant("space/FlushedSteps.cc",
           "    return !onDisk || steps.size() >= groupSize;",
           "    return steps.size() >= groupSize;",
           "steps on a file system in memory wait for a group of 256 before they are booked",
           "LinkThread|DelThread|Recovery"),
    Mutant("space/FlushedSteps.cc",
           "    if (onDisk) flush.watchDirectory(directory_);  // for the steps still to come",
           "",
           "after its first group, a pass books its links and removals without flushing them",
           "PowerCut|LinkThread|DelThread"),
]

LONG_TESTS = "PowerCutTest"  # a minute and more each
MARKER = ".vellort-mutation"  # a scratch directory this script made, and may clear
# A ctest result line: "  7/93 Test  #7: Suite.Case ......***Failed    0.52 sec".
RESULT_LINE = re.compile(r"Test\s+#\d+:\s+(\S+)\s+\.*\s*(\S.*?)\s+[\d.]+\s+sec$")


class Interrupted(Exception):
    """SIGTERM or SIGHUP: ends the run the way Ctrl-C does, restoring first."""


class Broken(Exception):
    """The unmutated sources do not build or pass: no mutant can be judged."""


def on_signal(number, frame):
    raise Interrupted(signal.Signals(number).name)


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--list", action="store_true", help="list the mutants and check them against HEAD")
    parser.add_argument("--only", help="comma-separated mutant numbers, e.g. 1,4,7")
    parser.add_argument("--jobs", type=int, default=2, help="parallel build and test jobs (default 2)")
    parser.add_argument("--keep", action="store_true", help="keep the scratch directory and its build")
    parser.add_argument("--report", help="also write the result table to this file")
    parser.add_argument("--scratch", default="/tmp/vellort-mutation", help="scratch directory")
    parser.add_argument("--timeout", type=int, default=300, help="per-test time-out in seconds")
    parser.add_argument("--every-failure", action="store_true",
                        help="run the whole suite on each mutant and name every failing test (slower)")
    parser.add_argument("--skip-baseline-tests", action="store_true",
                        help="build the unmutated sources but do not test them: only where the same commit's "
                             "suite is known to pass (its CI run)")
    parser.add_argument("--killers-from", metavar="REPORT",
                        help="an earlier report: the tests that killed each fault then run first now")
    parser.add_argument("--no-recheck", action="store_true",
                        help="do not run the first failing test again to see whether the kill repeats")
    return parser.parse_args()


def selected(only):
    """The mutants to run, as (number, mutant) with 1-based numbers."""
    numbered = list(enumerate(MUTANTS, 1))
    if not only:
        return numbered
    wanted = set()
    for word in only.split(","):
        number = int(word)
        if not 1 <= number <= len(MUTANTS):
            sys.exit(f"mutate: there is no mutant {number} (1 to {len(MUTANTS)})")
        wanted.add(number)
    return [(n, m) for n, m in numbered if n in wanted]


def occurrences(text, mutant):
    return text.count(mutant.original)


def head_text(repo, path):
    result = subprocess.run(["git", "-C", str(repo), "show", f"HEAD:{path}"], capture_output=True)
    return result.stdout.decode() if result.returncode == 0 else None


def list_mutants(repo, chosen):
    for number, mutant in chosen:
        text = head_text(repo, mutant.file)
        count = 0 if text is None else occurrences(text, mutant)
        state = "ok" if count == 1 else ("missing" if count == 0 else f"ambiguous ({count})")
        print(f"{number:3d}  {state:10s} {mutant.file:28s} {mutant.description}")


# --- running commands -------------------------------------------------------

def run(command, cwd, log):
    """Runs a command with its output appended to `log`; returns its exit status.

    The command gets a session of its own, so that on an interruption the
    whole tree (ctest, the tests, the daemons they start) is ended with it.
    """
    with open(log, "ab") as out:
        out.write(("\n$ " + " ".join(command) + "\n").encode())
        out.flush()
        process = subprocess.Popen(command, cwd=cwd, stdout=out, stderr=subprocess.STDOUT,
                                   start_new_session=True)
        try:
            return process.wait()
        except BaseException:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
            raise


def failures(log, since):
    """The failing tests in the ctest output written to `log` after byte `since`, in the order they ended."""
    found = []
    with open(log, "rb") as source:
        source.seek(since)
        for line in source.read().decode(errors="replace").splitlines():
            match = RESULT_LINE.search(line.strip())
            # A parameterised test's name goes on with "  # GetParam() = ...".
            if match and not match.group(2).endswith("Passed"):
                found.append(f"{match.group(1)} ({match.group(2).replace('*', ' ').split()[-1]})")
    return found or ["(no test named)"]


def test_pattern(names):
    """A ctest regular expression for exactly these tests (a parameterised name goes on with a blank)."""
    return "^(" + "|".join(re.escape(name) for name in names) + ")( |$)"


def run_tests(build, jobs, timeout, log, leave_out=(), every=False, suspects=""):
    """Runs the suite, until its first failure unless `every`; returns None when it passes, else the
    failing tests, the first one first. Without `every` it runs in phases, each only when the one before
    passed: the suspects, the rest, and last the long tests, for ctest lets a running test finish
    before it stops at a failure and they would hold up every verdict."""
    since = os.path.getsize(log) if os.path.exists(log) else 0
    base = ["ctest", "-j", str(jobs), "--timeout", str(timeout)] + ([] if every else ["--stop-on-failure"])
    left_out = test_pattern(leave_out) if leave_out else ""
    if every:
        phases = [("", "")]
    else:
        phases = ([(suspects, "")] if suspects else []) + [("", "|".join(p for p in (suspects, LONG_TESTS) if p)),
                                                           (LONG_TESTS, suspects)]
    for include, exclude in phases:
        excluded = "|".join(pattern for pattern in (exclude, left_out) if pattern)
        command = base + (["-R", include] if include else []) + (["-E", excluded] if excluded else [])
        if run(command, build, log) != 0:
            return failures(log, since)
    return None


def folder_suspects(source, mutant):
    """The suites of the tests of the fault's own folder (tests/<folder>/), a ctest pattern; "" for none."""
    suites = set()
    for test in (source / "tests" / mutant.file.split("/")[0]).glob("*.cc"):
        suites.update(re.findall(r"^TEST(?:_F|_P)?\((\w+),", test.read_text(errors="replace"), re.M))
    return "^(" + "|".join(sorted(suites)) + ")[./]" if suites else ""


def test_repeats(build, test, timeout, log):
    """Whether the test named in `test` ("Name (Status)") fails again when run alone."""
    status = run(["ctest", "-R", test_pattern([test.split(" (")[0]]), "--no-tests=error", "--timeout", str(timeout)],
                 build, log)
    return status != 0


def judge(build, jobs, timeout, log, recheck, every, suspects=""):
    """Runs the tests on a built mutant; returns (result, the failing tests, first one first).

    On a loaded machine a test can fail once for reasons of its own. A first
    failure that does not come again when the test runs alone is set aside,
    and the rest of the suite runs on without it, so that the mutant is
    judged by the tests that fail on it every time.
    """
    flaky = []
    for _ in range(3):
        failed = run_tests(build, jobs, timeout, log, flaky, every, suspects)
        note = f" [failed once, then passed: {', '.join(flaky)}]" if flaky else ""
        if failed is None:
            return "survived", note.strip()
        if not recheck or test_repeats(build, failed[0], timeout, log):
            return "killed", ", ".join(failed) + note
        flaky.append(failed[0].split(" (")[0])
    return "unsure", f"[failed once, then passed: {', '.join(flaky)}]"


# --- the scratch copy ---------------------------------------------------------

def prepare_scratch(scratch):
    """Makes or reuses the scratch directory, refusing one this script did not make."""
    if scratch.exists() and any(scratch.iterdir()) and not (scratch / MARKER).exists():
        sys.exit(f"mutate: {scratch} exists and was not made by this script; choose another --scratch")
    (scratch / "logs").mkdir(parents=True, exist_ok=True)
    (scratch / MARKER).touch()


def export_head(repo, scratch):
    """Brings scratch/src to the tree of HEAD, rewriting only the files that differ.

    Unchanged files keep their times, so a kept build is rebuilt only where
    HEAD has changed since.
    """
    source = scratch / "src"
    with tempfile.TemporaryDirectory(dir=scratch) as staging:
        fresh = Path(staging) / "tree"
        fresh.mkdir()
        archive = subprocess.run(["git", "-C", str(repo), "archive", "HEAD"], capture_output=True, check=True)
        subprocess.run(["tar", "-x", "-C", str(fresh)], input=archive.stdout, check=True)
        if not source.exists():
            shutil.move(str(fresh), str(source))
            return
        wanted = set()
        for path in fresh.rglob("*"):
            relative = path.relative_to(fresh)
            wanted.add(relative)
            target = source / relative
            if path.is_dir() and not path.is_symlink():
                target.mkdir(parents=True, exist_ok=True)
            elif not target.exists() or target.read_bytes() != path.read_bytes():
                shutil.copyfile(path, target, follow_symlinks=False)
                shutil.copymode(path, target)
        for path in sorted(source.rglob("*"), reverse=True):
            if path.relative_to(source) not in wanted:
                path.rmdir() if path.is_dir() and not path.is_symlink() else path.unlink()


def build_baseline(scratch, jobs, timeout, test=True):
    """Configures once, builds, and checks that the unmutated suite passes."""
    source, build, log = scratch / "src", scratch / "build", scratch / "logs" / "baseline.log"
    if not (build / "CMakeCache.txt").exists():
        print("configuring", build, flush=True)
        if run(["cmake", "-S", str(source), "-B", str(build), "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                "-DVELLORT_BENCH=OFF"], scratch, log) != 0:
            raise Broken(f"the configuration failed; see {log}")
    print("building the unmutated sources", flush=True)
    if run(["cmake", "--build", str(build), "-j", str(jobs)], scratch, log) != 0:
        raise Broken(f"the unmutated sources do not build; see {log}")
    if not test:
        print("the unmutated sources are not tested (--skip-baseline-tests)", flush=True)
        return
    print("testing the unmutated sources", flush=True)
    started = time.monotonic()
    failed = run_tests(build, jobs, timeout, log)
    if failed is not None:
        failed = failed[0]
        # A loaded machine can fail a test once; a baseline that fails twice is broken.
        print(f"the unmutated suite failed at {failed}; running the failed tests again", flush=True)
        if run(["ctest", "--rerun-failed", "--timeout", str(timeout)], build, log) != 0:
            raise Broken(f"the unmutated suite fails ({failed}): the baseline is broken; see {log}")
        print(f"warning: {failed} failed once on the unmutated sources and passed again: flaky", flush=True)
    print(f"the unmutated suite passes ({time.monotonic() - started:.0f} s)", flush=True)


def summary(rows, total):
    """The score line: skipped and unsure mutants count neither way."""
    ran = [r for r in rows if r[0] in ("killed", "survived")]
    line = f"killed {sum(1 for r in ran if r[0] == 'killed')} of {len(ran)}"
    if len(ran) < len(rows):
        line += f" ({len(rows) - len(ran)} skipped or unsure)"
    if len(rows) < total:
        line += f"; {total - len(rows)} of {total} not run"
    return line


def write_report(path, heading, rows, total):
    """Rewritten after every mutant, so that a run cut short still leaves its table."""
    if path:
        Path(path).write_text("\n".join([heading] + [r[1] for r in rows] + [summary(rows, total)]) + "\n")


# --- one mutant -----------------------------------------------------------------

def killers_in(report):
    """The tests that killed each fault in an earlier report, by the fault's number: a ctest pattern."""
    found = {}
    for line in Path(report).read_text().splitlines():
        match = re.match(r"\s*(\d+)\s+killed\s+\d+ s\s+\S+\s+(.*?)\s+\| ", line)
        if match:
            names = [name.split(" (")[0] for name in match.group(2).split("[")[0].split(", ")]
            names = [name for name in names if name and name != "build" and not name.startswith("(")]
            if names:
                found[int(match.group(1))] = test_pattern(names)
    return found


def run_mutant(number, mutant, scratch, jobs, timeout, recheck, every, killers=""):
    """Applies one mutant, builds, tests, restores; returns (result, first failure)."""
    path = scratch / "src" / mutant.file
    log = scratch / "logs" / f"mutant-{number:02d}.log"
    if log.exists():
        log.unlink()
    original = path.read_text() if path.exists() else None
    count = 0 if original is None else occurrences(original, mutant)
    if count != 1:
        return "skipped", "the original text is " + ("missing" if count == 0 else f"there {count} times")
    path.write_text(original.replace(mutant.original, mutant.replacement, 1))
    try:
        if run(["cmake", "--build", str(scratch / "build"), "-j", str(jobs)], scratch, log) != 0:
            return "killed", "build"
        # The tests that killed it before (a test renamed since finds none) and its own suspects.
        suspects = "|".join(p for p in (killers, mutant.suspects or folder_suspects(scratch / "src", mutant)) if p)
        return judge(scratch / "build", jobs, timeout, log, recheck, every, suspects)
    finally:
        # Written back even on Ctrl-C: the next build starts from the true sources.
        path.write_text(original)


def main():
    args = parse_args()
    repo = Path(__file__).resolve().parent.parent
    chosen = selected(args.only)
    if args.list:
        list_mutants(repo, chosen)
        return 0
    for number in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, on_signal)

    scratch = Path(args.scratch).resolve()
    prepare_scratch(scratch)
    lock = open(scratch / MARKER, "w")
    try:
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        sys.exit(f"mutate: another run uses {scratch}")

    commit = subprocess.run(["git", "-C", str(repo), "rev-parse", "--short", "HEAD"],
                            capture_output=True, text=True).stdout.strip()
    heading = f"mutation run of {commit} on {time.strftime('%Y-%m-%d %H:%M')}, {len(chosen)} mutants"
    print(heading, flush=True)
    rows = []
    keep = args.keep
    killers = killers_in(args.killers_from) if args.killers_from else {}
    try:
        export_head(repo, scratch)
        build_baseline(scratch, args.jobs, args.timeout, not args.skip_baseline_tests)
        for number, mutant in chosen:
            started = time.monotonic()
            result, detail = run_mutant(number, mutant, scratch, args.jobs, args.timeout, not args.no_recheck,
                                          args.every_failure, killers.get(number, ""))
            row = f"{number:3d}  {result:8s}  {time.monotonic() - started:5.0f} s  {mutant.file:28s}  " \
                  f"{detail or '-'}  | {mutant.description}"
            rows.append((result, row))
            print(row, flush=True)
            write_report(args.report, heading, rows, len(chosen))
    except Broken as broken:
        keep = True  # its logs tell why
        print(f"mutate: {broken}", file=sys.stderr, flush=True)
        return 1
    except (KeyboardInterrupt, Interrupted) as stop:
        print(f"mutate: interrupted ({stop or 'Ctrl-C'}); the scratch sources are restored", flush=True)
    finally:
        if rows:
            print(summary(rows, len(chosen)), flush=True)
            write_report(args.report, heading, rows, len(chosen))
        lock.close()
        if not keep:
            shutil.rmtree(scratch, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
