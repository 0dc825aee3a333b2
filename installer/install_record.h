// The two artefacts by which an installation is found and removed later:
// the install record (KorvaInstall.dat, an ini file in the data directory)
// and the uninstall entry under HKLM.
#pragma once
#include <string>
#include <utility>
#include <vector>

// Section of the install record: the product GUID without its braces.
std::wstring InstallRecordSection();

// Path below HKLM of the uninstall entry.
std::wstring UninstallKeyPath();

// Record key of a program to run at removal: location ";" parameters.
std::wstring ExecuteRecordKey(const std::wstring& location, const std::wstring& param);

// Splits a record line "key=value" at its first "="; false without one.
bool SplitRecordLine(const std::wstring& line, std::wstring* key, std::wstring* value);

// Whether a record value is the given tag ("EXECUTE", "LNK"), any case.
bool IsRecordTag(const std::wstring& value, const std::wstring& tag);

// The ten values of the uninstall entry, in the order they are written.
typedef std::vector<std::pair<std::wstring, std::wstring> > UninstallValues;
UninstallValues MakeUninstallValues(const std::wstring& installDir, const std::wstring& version,
                                    const std::wstring& officialUrl, const std::wstring& url);
