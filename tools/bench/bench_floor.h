// The floor: for each scenario, the fewest file-system calls with which any correct client could make
// that scenario's decision, and the same port messages as the library (its own worker pool, port
// calls, reply and verdict, started with a handler that makes only those calls). No client that
// decides correctly can beat it, so pipeline/floor is at most about 1 by construction.
//
// The calls, per scenario (R: open a stream or file by its exact name; F: open in the held folder;
// each opened handle is closed once; "index" is the file index of a handle; a write of a record is
// its length and its bytes):
//   1 no origin:      R Zone.Identifier and R SmartScreen, both missing.
//   downloads, first: R Zone.Identifier, its index; the folder; F the file for the age test, its type,
//                     times and size, index, and (where streams are their files') its identity.
//   4 spared:         F the record, its index, one read: the seal holds. Zone.Identifier is not read.
//   3 rescan:         F the record, index, read; read Zone.Identifier; the scan; F the record, index,
//                     read: nothing to write, twice.
//   2 fresh download: F the record: missing; read Zone.Identifier; the record made with HostUrl,
//                     held against writers and its time set back; the scan; F the record, index,
//                     read, lock, read again, written the same way, unlock.
// Where a stream is no proof of its file (Wine's ordinary file system), downloads end after reading
// Zone.Identifier with the scan: no record is read or written there.
#pragma once

#include <filesystem>

#include "varnokclient.h"

namespace bench {

// What the volume of the benchmark's files does, learnt once before the runs from a file of its own.
struct VolumeFacts {
    bool streams_are_the_files = false;   // a stream's handle reports its file's index
    bool one_set_of_share_modes = false;  // a file's and its streams' share modes are one set
};

VolumeFacts ProbeVolume(const std::filesystem::path& folder);

// Starts the pool on the driver's port with the floor's handler for a volume with those facts.
bool StartFloorClient(const DriverConfig& config, const VolumeFacts& volume);

// Called with no event in flight: the pool's one stop path ends every thread and frees everything.
bool StopFloorClient();

}  // namespace bench
