// SPDX-License-Identifier: MIT
#include "write_way.h"

namespace velmora::fileio {

// A new file can take an output's place only where it can also take on all
// that makes the output the file it is: its other names would otherwise keep
// the old content, and its owner, rights and attributes would be lost. A
// rewrite in place keeps all of that, at the price of a backup and of an
// output that a kill can leave half written (the backup then holds the old
// content); so it is kept for what a replacement cannot do.
WriteWay Decide(const OutputFacts& facts) noexcept {
    using NewFile = OutputFacts::NewFile;
    using Identity = OutputFacts::Identity;
    // A missing output has nothing to keep. Its new file is named once
    // complete, never replacing one that appeared meanwhile; where the file
    // system cannot name it so, it is made under its name, which never
    // replaces one either, and written there: a stop then leaves it partial.
    if (facts.missing) {
        return facts.namingRefused ? WriteWay::CreatedUnderItsName : WriteWay::Created;
    }
    if (facts.links > 1) {
        return WriteWay::InPlaceOtherLinks;
    }
    if (facts.removalRefused) {
        return WriteWay::InPlaceRemovalRefused;
    }
    if (facts.identityUnknown) {
        return WriteWay::InPlaceIdentityUnknown;
    }
    if (facts.heldByAnother) {
        return WriteWay::InPlaceHeld;
    }
    if (facts.renameRisksIt) {
        return WriteWay::InPlaceRenameRisksIt;
    }
    if (facts.newFile == NewFile::Refused) {
        return WriteWay::InPlaceFolderRefusesNewFile;
    }
    if (facts.newFile == NewFile::NoRoom) {
        return WriteWay::InPlaceNoRoom;
    }
    if (facts.identity == Identity::OwnerNotGiven) {
        return WriteWay::InPlaceAnotherOwner;
    }
    if (facts.identity == Identity::AttributeNotGiven) {
        return WriteWay::InPlaceAttributeNotGiven;
    }
    if (facts.replaceUnsupported && facts.namedStreams) {
        return WriteWay::InPlaceStreamsNotCarried; // a rename would leave them behind
    }
    if (facts.renameRefused) {
        return WriteWay::InPlaceNotRenamable;
    }
    return WriteWay::ReplacedWhole;
}

} // namespace velmora::fileio
