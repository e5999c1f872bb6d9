// SPDX-License-Identifier: MIT
#pragma once
// The one choice of how the new content of the output is put in place:
// renamed over the old file, linked under a free name, or written into the
// old file itself. The replacement gathers facts as its run learns them and
// asks decide() again after each; no other code chooses between the ways.

namespace initHashData {

// What the output's name leads to now.
enum class TargetKind {
    none,    // nothing: a new file is made
    regular, // a regular file, replaced where it can be
    fed,     // a device or FIFO, or a pipe reached through /proc/self/fd: fed, never replaced
};

// What the run has learnt so far.
struct Facts {
    TargetKind target = TargetKind::none;
    // The directory is append-only or immutable, or that cannot be learnt:
    // it would keep every name made in it, a staging name too.
    bool directoryKeepsNames = false;
    // Why the temporary file beside the target could not be made; 0 where it
    // was made or not yet tried.
    int stagingErrno = 0;
    // Whether the temporary file took all that the old file carries: flags,
    // hints, owner, group, mode, ACL and attributes. False where any of it
    // could not be read or given.
    bool metadataCarried = true;
    // Why the rename over the target, or the link under its name, failed; 0
    // where it was not tried.
    int placingErrno = 0;

    // What the name leads to now, and whether its directory keeps names;
    // what staging and placing learnt for a file of another kind holds no
    // more.
    void learnTarget(TargetKind kind, bool keepsNames) noexcept;
    // Under a new lock, a name another process took is looked at again; a
    // rename refused, as by a mount point, is so still.
    void lookAgainAtTakenName() noexcept;
};

enum class Way {
    renameOver,   // a temporary file beside the target, renamed over it, or put at the free name
    writeInPlace, // the content held aside, then written into the old file
    lookAgain,    // another process took the name meanwhile: lock and look again
    refuse,       // the errno among the facts ends the run
};

// The decision table, read top down; the first row that matches decides
// ("-": any).
//
//   target   keeps names  staging errno       metadata  placing errno  way
//   fed      -            -                   -         -              writeInPlace
//   -        -            -                   -         EEXIST         lookAgain
//   none     -            not 0               -         -              refuse
//   none     -            0                   -         0              renameOver
//   none     -            0                   -         not 0          refuse
//   regular  yes          -                   -         -              writeInPlace
//   regular  no           closedOrFull        -         -              writeInPlace
//   regular  no           not 0               -         -              refuse
//   regular  no           0                   no        -              writeInPlace
//   regular  no           0                   yes       renameRefused  writeInPlace
//   regular  no           0                   yes       not 0          refuse
//   regular  no           0                   yes       0              renameOver
[[nodiscard]] Way decide(const Facts& facts) noexcept;

// A temporary file cannot be made beside an existing file whose directory the
// user may not write, that is read-only or immutable, or that has no room or
// inode left; the file itself may still be written.
[[nodiscard]] bool isClosedOrFull(int stagingErrno) noexcept;

// The rename cannot replace this file: it is a mount point (EBUSY), or its
// directory gives its project id to every file in it and takes no other
// (EXDEV).
[[nodiscard]] bool isRenameRefused(int placingErrno) noexcept;

} // namespace initHashData
