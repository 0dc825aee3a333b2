// Names of the product's registry keys, values, files, folders and packages,
// and the result texts reported to the statistics service. Both programs
// spell these strings only through the names below.
#pragma once
#include <windows.h>

// Result texts, indexed by the install result code (0..10).
extern const WCHAR* const kInstallResultTexts[11];
// Result texts, indexed by a package step's update result code (0..3).
extern const WCHAR* const kUpdateResultTexts[4];

// Registry: key paths end in a backslash so a sub-key name is appended as is.
extern const WCHAR* const kUninstallRegKey;
extern const WCHAR* const kAppCompatLayersKey;
extern const WCHAR* const kProductGuid;
extern const WCHAR* const kDisplayIconValue;
extern const WCHAR* const kDisplayNameValue;
extern const WCHAR* const kDisplayVersionValue;
extern const WCHAR* const kHelpLinkValue;
extern const WCHAR* const kInstallDateValue;
extern const WCHAR* const kInstallLocationValue;
extern const WCHAR* const kPublisherValue;
extern const WCHAR* const kUninstallStringValue;
extern const WCHAR* const kOfficialUrlValue;
extern const WCHAR* const kUrlValue;

// Install record tags.
extern const WCHAR* const kRecordTagExecute;
extern const WCHAR* const kRecordTagLnk;

// The product.
extern const WCHAR* const kProductName;
extern const WCHAR* const kProductWord;
extern const WCHAR* const kIconFile;
extern const WCHAR* const kOfficialHost;
extern const WCHAR* const kPublisherName;
extern const WCHAR* const kInstallRecordFile;

// Separators.
extern const WCHAR* const kIniPathSeparator;
extern const WCHAR* const kExecuteParamSeparator;

// Programs.
extern const WCHAR* const kMainProgramExe;
extern const WCHAR* const kUninstallerExe;
extern const WCHAR* const kUpdaterExe;
extern const WCHAR* const kUpdateBatFile;
extern const WCHAR* const kLauncherExe;

// Configuration, skin and folders. kModuleSubdir and kUserConfigPath use
// forward slashes; they are joined to directories without conversion.
extern const WCHAR* const kInstallConfigFile;
extern const WCHAR* const kUpdateConfigFile;
extern const WCHAR* const kChannelFile;
extern const WCHAR* const kModuleSubdir;
extern const WCHAR* const kSkinArchivePath;
extern const WCHAR* const kSkinBackupPath;
extern const WCHAR* const kUpdateDirName;

// Packages of the updater.
extern const WCHAR* const kSelfUpdatePackage;
extern const WCHAR* const kSelfUpdatePackageDir;
extern const WCHAR* const kMainUpdatePackage;
extern const WCHAR* const kDeltaUpdatePackage;
extern const WCHAR* const kUserConfigPath;

// A URL beginning with this (any case) is posted without certificate checks.
extern const char* const kHttpsPrefix;
// Default file name of the archive library.
extern const WCHAR* const kSevenZipDllName;
// Path given to an archive item that has no path of its own.
extern const WCHAR* const kUnnamedItemPath;
