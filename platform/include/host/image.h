// Driver and library images: what pool, objects, threads and work are attributed to.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace host {

struct Image;

// The image whose code contains `codeAddress` (the main executable's image for code linked into it).
Image* ImageFromAddress(const void* codeAddress);
// Registers the shared object containing `anyAddressInside` as an image called `name`.
Image* ImageRegister(const std::string& name, const void* anyAddressInside);
// The image of the main executable (unit tests link driver code into it).
Image* ImageMain();
const std::string& ImageName(const Image* image);
std::vector<Image*> ImageList();

// Each host subsystem adds a check that reports what the image still owns at unload and returns the
// number of reports it made.
using UnloadCheck = std::function<int(Image* image)>;
void ImageAddUnloadCheck(UnloadCheck check);
// Runs every unload check for the image; returns the number of reports they made.
int ImageCheckUnload(Image* image);

} // namespace host
