// Installing a new updater over the running one through update.bat, and the
// version and channel write-back into the install tree's configuration files.
#pragma once
#include <string>

#include <windows.h>

// Writes update.bat into the work directory, records the new updater version
// in both update.json files, moves the channel setting into channel.json and
// starts the batch file elevated and hidden. sourceDir holds the unpacked
// updater package (<work dir>update_update).
void FinishSelfUpdate(const std::wstring& sourceDir);

// Writes the batch file that waits (bounded) until <exeDir>update.exe can be
// written, that is until the updater running from it has ended, then copies
// every file below sourceDir over exeDir (same relative paths), removes
// <workDir>update_update, starts <exeDir>update.exe and deletes itself. Directories are given with their
// trailing backslash. Sub-directories of sourceDir missing below exeDir are
// created here, since copy does not create them. False when the file cannot
// be written.
bool WriteUpdateBatch(const std::wstring& batchPath, const std::wstring& sourceDir,
                      const std::wstring& exeDir, const std::wstring& workDir);

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
