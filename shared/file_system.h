// Paths and directory trees: existence tests, splitting paths, creating a
// directory with its parents, listing and deleting whole trees. Paths use
// backslashes; nothing here throws or keeps state.
#pragma once
#include <list>
#include <string>

#include <windows.h>

// Closes the search handle held in *handle when the guard goes away, so a
// search is closed on every path out of a function.
class FindHandleGuard {
 public:
  explicit FindHandleGuard(HANDLE* handle) : handle_(handle) {}
  ~FindHandleGuard();
  FindHandleGuard(const FindHandleGuard&) = delete;
  FindHandleGuard& operator=(const FindHandleGuard&) = delete;

 private:
  HANDLE* handle_;
};

// The path exists and is not a directory.
bool FileExists(const std::wstring& path);
// Clears the read-only flag of a file or folder. A link is left alone: its
// flag is its own, and changing it must never reach what it leads to.
void ClearReadOnly(const std::wstring& path);
// The path, less one trailing backslash, exists and is a directory (a drive
// root has no entry of its own and is reported missing).
bool DirectoryExists(const std::wstring& path);
// Up to and including the last backslash; "name" gives "name\".
std::wstring GetParentDirectory(const std::wstring& path);
// After the last backslash, else after the last slash, else the whole path.
std::wstring GetFileName(const std::wstring& path);
// True when the directory (or a file of that name) exists afterwards. Each
// folder it made is appended to *made (when given), parents first.
bool CreateDirectories(const std::wstring& path, std::list<std::wstring>* made = nullptr);
// The search entry is a real sub-directory of dir (not "." or "..", not a
// junction or directory link).
bool IsChildDirectory(const std::wstring& dir, const WIN32_FIND_DATAW& entry);
// Appends every directory below dir, depth first, each before its children.
// A directory link is appended but never entered; a dir that is itself a
// link adds nothing.
void CollectSubdirectories(const std::wstring& dir, std::list<std::wstring>& list);
// dir with a trailing backslash, then every directory below it; empty when
// dir does not exist. Remove directories from the end of the list.
std::list<std::wstring> ListDirectoryTree(const std::wstring& dir);
// Appends every file below dir matching pattern, depth first, file links
// included; links to directories are not entered, nor is a dir that is
// itself a link.
void CollectFiles(const std::wstring& dir, std::list<std::wstring>& list, const std::wstring& pattern);
// ListDirectoryTree's list into dirs and CollectFiles's with "*.*" into
// files, in one walk of the tree.
void CollectTree(const std::wstring& dir, std::list<std::wstring>& dirs, std::list<std::wstring>& files);
// No entry whose name does not begin with "."; a missing directory is empty.
bool IsDirectoryEmpty(const std::wstring& dir);
// The whole content of a file (others may go on writing it); false when it
// cannot be opened.
bool ReadWholeFile(const std::wstring& path, std::string* bytes);
// Writes what the system still caches of a file to the disk, so that it
// survives a power cut. A read-only file is opened for it with its flag
// cleared for the moment. False when it cannot be opened or flushed.
bool FlushFileToDisk(const std::wstring& path);
// Moves the file from over the file to (MOVEFILE_REPLACE_EXISTING), as the
// owner of to: its read-only flag does not keep the move out, and comes back
// when the move fails. A program that has to open without sharing deletion
// holds the move off; it is tried again for about a second while the
// system answers with a sharing violation or an access denial. False with
// the last error of the last try.
bool ReplaceFileRetrying(const std::wstring& from, const std::wstring& to);
// Deletes a file the same way: its read-only flag cleared (and set again
// when the file stays), tried again for about a second while it is held.
bool DeleteFileRetrying(const std::wstring& path);
// File name without its extension.
std::wstring GetFileStem(const std::wstring& path);
// name without its extension (a leading "." is no extension), then suffix.
std::wstring ReplaceExtension(const std::wstring& name, const std::wstring& suffix);
// Deletes every file and directory below dir and dir itself; what cannot be
// deleted (a read-only or open file) stays with its parent directories.
// Links are removed themselves; what they lead to is never touched.
void DeleteDirectoryTree(const std::wstring& dir);
// Deletes dir whole, as a folder of our own that nothing may keep: read-only
// flags of its files and folders are cleared first. Links are removed
// themselves, never followed or changed, and a dir that is itself a link
// only loses the link. True when nothing of dir is left (a missing dir
// too); what is in use stays.
bool DeleteWholeTree(const std::wstring& dir);
