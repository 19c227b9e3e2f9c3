// Descriptions and bundles turned into each other, without printing: the
// compute steps of `mkimage`, `dump` and `diff`, callable from any front end.
//
// build_bundle runs the image builder (process-wide library state: see
// imagekit.h); describe_bundle mounts the bundle's regions to read its files.
// Both throw ToolError.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "bundle.h"
#include "description.h"
#include "imagekit/imagekit.h"

namespace quorstore {

// The image builder's description of `image`.
imagekit::ImageDescription to_imagekit(const ImageDescription &image);

// Builds the pieces of `image` into a bundle for `folder` (nothing is written).
Bundle build_bundle(const ImageDescription &image, const std::filesystem::path &folder);

// What a bundle holds, as the description that rebuilds it, and what such a
// description cannot say (a deployed NVAR file that is missing, values of
// files the vendor table does not list).
struct BundleDescription {
    ImageDescription image;
    std::vector<std::string> left_out;
};

BundleDescription describe_bundle(Bundle &bundle);

}  // namespace quorstore

namespace quorstore {

// One difference between two descriptions. `section` is "nvar" (current
// value: tool value, else default), "default", "file" (raw file),
// "file_table" or "geometry"; `key` names the NVAR, "AFS 100", "SKU 0x11 NAME"
// or the field; a missing old value means added, a missing new one removed.
struct Difference {
    std::string section;
    std::string key;
    std::optional<nlohmann::json> old_value;
    std::optional<nlohmann::json> new_value;
};

// Every difference between `a` and `b`, sections in the order above.
std::vector<Difference> diff_images(const ImageDescription &a, const ImageDescription &b);

}  // namespace quorstore
