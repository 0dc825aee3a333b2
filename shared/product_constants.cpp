#include "shared/product_constants.h"

const WCHAR* const kInstallResultTexts[11] = {
    L"安装成功",          // 0 success
    L"下载失败",          // 1 download
    L"解压失败",          // 2 unpack
    L"执行外部程序失败",  // 3 external program
    L"写注册表信息失败",  // 4 registry
    L"生成快捷方式失败",  // 5 shortcut
    L"拷贝文件失败",      // 6 copy files
    L"删除临时文件失败",  // 7 delete temporary files
    L"对象不存在",        // 8 object missing
    L"升级失败",          // 9 upgrade
    L"其他错误",          // 10 other
};

const WCHAR* const kUpdateResultTexts[4] = {
    L"更新成功",          // 0 success
    L"更新下载失败",      // 1 download
    L"更新文件损坏",      // 2 damaged (MD5 mismatch)
    L"更新文件解压失败",  // 3 unpack
};

const WCHAR* const kUninstallRegKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
const WCHAR* const kAppCompatLayersKey = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\AppCompatFlags\\Layers\\";
const WCHAR* const kProductGuid = L"{5D2A7E41-3C86-4B19-9F07-A1E4C6B3D852}";
const WCHAR* const kDisplayIconValue = L"DisplayIcon";
const WCHAR* const kDisplayNameValue = L"DisplayName";
const WCHAR* const kDisplayVersionValue = L"DisplayVersion";
const WCHAR* const kHelpLinkValue = L"HelpLink";
const WCHAR* const kInstallDateValue = L"InstallDate";
const WCHAR* const kInstallLocationValue = L"InstallLocation";
const WCHAR* const kPublisherValue = L"Publisher";
const WCHAR* const kUninstallStringValue = L"UninstallString";
const WCHAR* const kOfficialUrlValue = L"OfficialUrl";
const WCHAR* const kUrlValue = L"Url";

const WCHAR* const kRecordTagExecute = L"EXECUTE";
const WCHAR* const kRecordTagLnk = L"LNK";

const WCHAR* const kProductName = L"Korva";
const WCHAR* const kProductWord = L"korva";
const WCHAR* const kIconFile = L"icon.ico";
const WCHAR* const kOfficialHost = L"www.korva.com";
const WCHAR* const kPublisherName = L"Hollin";
const WCHAR* const kInstallRecordFile = L"KorvaInstall.dat";

const WCHAR* const kIniPathSeparator = L"|";
const WCHAR* const kExecuteParamSeparator = L";";

const WCHAR* const kMainProgramExe = L"korva.exe";
const WCHAR* const kUninstallerExe = L"unins.exe";
const WCHAR* const kUpdaterExe = L"update.exe";
const WCHAR* const kUpdateBatFile = L"update.bat";
const WCHAR* const kLauncherExe = L"launch.exe";

const WCHAR* const kInstallConfigFile = L"install.json";
const WCHAR* const kUpdateConfigFile = L"update.json";
const WCHAR* const kChannelFile = L"channel.json";
const WCHAR* const kModuleSubdir = L"resources/cplus-module/";
const WCHAR* const kSkinArchivePath = L"skin\\skin.zip";
const WCHAR* const kSkinBackupPath = L"skin\\skin_back.zip";
const WCHAR* const kUpdateDirName = L"update";

const WCHAR* const kSelfUpdatePackage = L"update_update.7z";
const WCHAR* const kSelfUpdatePackageDir = L"update_update";
const WCHAR* const kMainUpdatePackage = L"update_korva.7z";
const WCHAR* const kDeltaUpdatePackage = L"update_korvadelta.7z";
const WCHAR* const kUserConfigPath = L"/korva/config.json";

const char* const kHttpsPrefix = "https";
const WCHAR* const kSevenZipDllName = L"7z.dll";
const WCHAR* const kUnnamedItemPath = L"[Content]";
