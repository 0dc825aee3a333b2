// The update.json that the product, the updater and the installer's
// directory carry: where the version check goes and the version of each of
// the three packages.
#pragma once
#include <string>

namespace testing_support {

std::string UpdateJsonText(const std::string& versionCheckUrl, int updaterVersion, int mainVersion,
                           int deltaVersion);

}  // namespace testing_support
