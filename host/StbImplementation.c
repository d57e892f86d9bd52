/* The implementation of stb_image and stb_image_write (Debian's libstb-dev
 * headers), compiled once for opxhost in both builds. Only the formats the
 * host documents are read: PNG, BMP, PPM/PGM, JPEG, TGA and GIF. */
#define STBI_ONLY_PNG
#define STBI_ONLY_BMP
#define STBI_ONLY_PNM
#define STBI_ONLY_JPEG
#define STBI_ONLY_TGA
#define STBI_ONLY_GIF
#define STB_IMAGE_IMPLEMENTATION
#include "stb_image.h"

#define STB_IMAGE_WRITE_IMPLEMENTATION
#include "stb_image_write.h"
