// Damages a 7z archive made by the tests in its packed data, leaving its
// headers readable, as a package flipped in transit or on disk would be.
#pragma once
#include <string>
#include <vector>

namespace testing_support {

// Flips one byte in the middle of the packed data of the block that starts
// with `item` (a path as the 7z tool lists it) in the archive at host path
// `archive`, then returns the items that `7z t` reports damaged (data or CRC
// errors). Empty when the item starts no block, or when the tool finds
// nothing wrong or cannot read the archive's headers.
std::vector<std::string> DamagePackedData(const std::string& archive, const std::string& item);

}  // namespace testing_support
