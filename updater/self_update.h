// Installing a new updater over the running one through update.bat, and the
// version and channel write-back into the install tree's configuration files.
#pragma once
#include <string>
#include <vector>

#include <windows.h>

// Writes update.bat into the work directory, keeps copies of both update.json
// files and of channel.json for it, records the new updater version in both
// update.json files, moves the channel setting into channel.json (which may
// delete the updater's update.json after the batch file was written) and
// starts the batch file elevated and hidden; true then. sourceDir holds the
// unpacked updater package (<work dir>update_update). False, with the batch
// file, the kept copies and sourceDir deleted and the records as they were,
// when the batch file cannot be written, a record cannot be kept, the
// product's update.json cannot take the new version, or the batch file cannot
// be started: the updater is not replaced then. A failed write-back into the updater's own update.json or a
// failed channel move is logged and does not stop the update.
bool FinishSelfUpdate(const std::wstring& sourceDir);

// A file that the self-update changes before its batch file runs, and the
// copy of its earlier content (empty when it did not exist).
struct KeptFile {
  std::wstring path;
  std::wstring kept;
};

// Writes the batch file that waits (bounded) until <exeDir>update.exe can be
// written, that is until the updater running from it has ended (its
// read-only, hidden and system flags are cleared first, as each would keep
// the file shut), then keeps a copy of every file of exeDir it
// replaces in <workDir>update_kept (whether a file is there is seen when the
// batch file runs; one that is not is new), makes the directories new in the
// package and copies every file below sourceDir over exeDir (same relative
// paths), each copy checked, each target's read-only, hidden and system flags
// cleared first (a copy carries the package file's). When all went well it
// removes <workDir>update_update and the kept copies, starts
// <exeDir>update.exe and deletes itself. When the wait runs out or a copy
// fails it gives up: each file copied so far, the failing one too, is copied
// back from its kept copy with its flags (or deleted when it was new,
// whatever its flags), the flags update.exe had are set again, the
// directories it made are removed, the records are copied back from their
// kept content (or deleted when they did not exist), the unpacked and kept
// files go, <exeDir>launch.exe is started from exeDir when it is there (the
// updater is not), and it deletes itself. Directories are given with their
// trailing backslash. Makes <workDir>update_kept, without the kept copies of
// an earlier run. False when the file cannot be written.
bool WriteUpdateBatch(const std::wstring& batchPath, const std::wstring& sourceDir,
                      const std::wstring& exeDir, const std::wstring& workDir,
                      const std::vector<KeptFile>& records);

// Sets the "version" of the entry `section` of the update.json at path to
// the decimal text of versionCode, keeping everything else. A missing file
// is created; a file that exists but cannot be loaded is left alone (false,
// logged). Throws what the JSON library throws for a file whose entry or top
// level is not an object.
bool WriteBackVersion(const std::wstring& path, const std::wstring& section, INT32 versionCode);

// The same for the update flow: never throws; false (logged) when nothing
// was written.
bool WritePackageVersion(const std::wstring& path, const std::wstring& section, INT32 versionCode);

// Moves a "channel" of the updater's update.json into channel.json (other
// members kept) and deletes that update.json; creates channel.json with
// "pcclient" only when neither file exists. An update.json without a channel
// leaves both files as they are.
// Throws what the JSON library throws for files of the wrong shape.
void MoveChannelSetting(const std::wstring& updaterConfigPath, const std::wstring& channelPath);
