//
// PNG and JPEG files made at test time from grey pixels, and the same files claiming another
// size in their header, for the image decoder's tests and the application's.
//

#ifndef QUILLMARSH_TESTS_APP_IMAGE_FILES_H
#define QUILLMARSH_TESTS_APP_IMAGE_FILES_H

#include <vector>

using Bytes = std::vector<unsigned char>;

// An 8-bit grey PNG of width x height pixels (grey holds them row by row); with alpha, every
// pixel also gets the alpha value given; interlaced, it is stored in Adam7 passes.
Bytes PngImage(unsigned width, unsigned height, const Bytes &grey, bool interlaced = false,
               int alpha = -1);

// A grey (or, with rgb, a three-component) JPEG of width x height pixels at the highest
// quality; progressive, it is stored in several scans.
Bytes JpegImage(unsigned width, unsigned height, const Bytes &grey, bool progressive = false,
                bool rgb = false);

// The image with its header claiming width x height pixels (the PNG's IHDR with its checksum,
// the JPEG's frame header); the pixel data is left as it is.
Bytes WithClaimedSize(Bytes image, unsigned width, unsigned height);

// width x height pixels of a pattern that does not compress well.
Bytes NoisePixels(unsigned width, unsigned height);

#endif  // QUILLMARSH_TESTS_APP_IMAGE_FILES_H
