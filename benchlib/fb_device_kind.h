// What a device node is, from its device number alone: Linux gives
// framebuffers character major 29 and DRM cards major 226. The framebuffer
// query cannot tell: a 32-bit program's FBIOGET_VSCREENINFO on a DRM card
// under a 64-bit kernel reaches DRM_IOCTL_VERSION and succeeds.
#pragma once

enum class fb_device_kind { fbdev, drm, neither, unknown };

// The kind of the node open on fd: neither for any other node, a regular
// file included; unknown, with errno set, when fstat fails.
fb_device_kind fb_device_kind_of(int fd);
