// SPDX-License-Identifier: MIT
#include "replacement/decision.hpp"

#include <cerrno>

namespace initHashData {

bool isClosedOrFull(int stagingErrno) noexcept
{
    return stagingErrno == EACCES || stagingErrno == EPERM || stagingErrno == EROFS || stagingErrno == ENOSPC ||
           stagingErrno == EDQUOT;
}

bool isRenameRefused(int placingErrno) noexcept { return placingErrno == EBUSY || placingErrno == EXDEV; }

void Facts::learnTarget(TargetKind kind, bool keepsNames) noexcept
{
    if (kind != target) {
        stagingErrno = 0;
        metadataCarried = true;
        placingErrno = 0;
    }
    target = kind;
    directoryKeepsNames = keepsNames;
}

void Facts::lookAgainAtTakenName() noexcept
{
    if (placingErrno == EEXIST) {
        placingErrno = 0;
    }
}

Way decide(const Facts& facts) noexcept
{
    if (facts.target == TargetKind::fed) {
        return Way::writeInPlace;
    }
    if (facts.placingErrno == EEXIST) {
        return Way::lookAgain;
    }
    if (facts.target == TargetKind::none) {
        if (facts.stagingErrno != 0 || facts.placingErrno != 0) {
            return Way::refuse;
        }
        return Way::renameOver;
    }
    if (facts.directoryKeepsNames || isClosedOrFull(facts.stagingErrno)) {
        return Way::writeInPlace;
    }
    if (facts.stagingErrno != 0) {
        return Way::refuse;
    }
    if (!facts.metadataCarried || isRenameRefused(facts.placingErrno)) {
        return Way::writeInPlace;
    }
    return facts.placingErrno != 0 ? Way::refuse : Way::renameOver;
}

} // namespace initHashData
