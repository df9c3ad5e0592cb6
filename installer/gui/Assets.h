// Artwork embedded into the program at build time from installer/assets/ (see
// EmbedAssets.cmake): the left panel's JPEG and the window icon as PNG.
#pragma once

#include <stddef.h>

extern const unsigned char g_leftPanelImageJpg[];
extern const size_t g_leftPanelImageJpgSize;
extern const unsigned char g_iconPng[];
extern const size_t g_iconPngSize;
