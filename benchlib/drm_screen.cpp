#include "drm_screen.h"

#include "bench_error.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <drm_fourcc.h>
#include <fcntl.h>
#include <memory>
#include <sys/mman.h>
#include <unistd.h>
#include <xf86drm.h>

static const drm_encoder_state* drm_encoder_find(const drm_card_state& card, uint32_t id)
{
    const auto found = std::find_if(card.encoders.begin(), card.encoders.end(),
                                    [id](const drm_encoder_state& encoder) { return encoder.id == id; });
    return id != 0 && found != card.encoders.end() ? &*found : nullptr;
}

static const drm_crtc_state* drm_crtc_find(const drm_card_state& card, uint32_t id)
{
    const auto found = std::find_if(card.crtcs.begin(), card.crtcs.end(),
                                    [id](const drm_crtc_state& crtc) { return crtc.id == id; });
    return id != 0 && found != card.crtcs.end() ? &*found : nullptr;
}

// The CRTC that drives the connector now, if any.
static const drm_crtc_state* drm_connector_crtc(const drm_card_state& card, const drm_connector_state& connector)
{
    const drm_encoder_state* encoder = drm_encoder_find(card, connector.encoder_id);
    return encoder != nullptr ? drm_crtc_find(card, encoder->crtc_id) : nullptr;
}

static bool drm_crtc_in_use(const drm_card_state& card, const drm_crtc_state& crtc)
{
    return crtc.mode_valid || std::any_of(card.encoders.begin(), card.encoders.end(),
                                          [&](const drm_encoder_state& encoder) { return encoder.crtc_id == crtc.id; });
}

drm_choice_result drm_card_choose(const drm_card_state& card, drm_choice& choice)
{
    const auto connector = std::find_if(card.connectors.begin(), card.connectors.end(),
                                        [](const drm_connector_state& c) { return c.connected && !c.modes.empty(); });
    if (connector == card.connectors.end())
        return drm_choice_no_connector;
    choice = {};
    choice.connector = size_t(connector - card.connectors.begin());
    choice.connector_id = connector->id;

    const drm_crtc_state* crtc = drm_connector_crtc(card, *connector);
    if (crtc == nullptr) {
        uint32_t allowed = 0;
        for (uint32_t id : connector->encoder_ids)
            if (const drm_encoder_state* encoder = drm_encoder_find(card, id))
                allowed |= encoder->possible_crtcs;
        // An idle CRTC leaves the other displays as they are.
        const drm_crtc_state* first_allowed = nullptr;
        for (size_t i = 0; i < card.crtcs.size() && i < 32 && crtc == nullptr; ++i) {
            if ((allowed >> i & 1) == 0)
                continue;
            if (first_allowed == nullptr)
                first_allowed = &card.crtcs[i];
            if (!drm_crtc_in_use(card, card.crtcs[i]))
                crtc = &card.crtcs[i];
        }
        if (crtc == nullptr)
            crtc = first_allowed;
    }
    if (crtc == nullptr)
        return drm_choice_no_crtc;

    choice.crtc_id = crtc->id;
    if (crtc == drm_connector_crtc(card, *connector) && crtc->mode_valid) {
        choice.mode = crtc->mode;
    } else {
        const auto preferred = std::find_if(connector->modes.begin(), connector->modes.end(),
                                            [](const drmModeModeInfo& m) { return (m.type & DRM_MODE_TYPE_PREFERRED) != 0; });
        choice.mode = preferred != connector->modes.end() ? *preferred : connector->modes.front();
    }
    for (const drm_connector_state& other : card.connectors)
        if (drm_connector_crtc(card, other) == crtc)
            choice.crtc_connector_ids.push_back(other.id);
    return drm_choice_made;
}

bool drm_screen_geometry(const drmModeModeInfo& mode, uint32_t pitch, uint64_t size, uint32_t bits_per_pixel,
                         fb_var_screeninfo& vinfo)
{
    const uint32_t pixel_bytes = bits_per_pixel / 8;
    const uint64_t len = uint64_t(pitch) * mode.vdisplay;
    // As for a framebuffer: offsets are 32-bit, so the screen's size in bits must fit them.
    if (pitch % pixel_bytes != 0 || pitch / pixel_bytes < mode.hdisplay || len > size || len * 8 > UINT32_MAX)
        return false;
    vinfo = {};
    vinfo.xres = vinfo.xres_virtual = pitch / pixel_bytes;
    vinfo.yres = vinfo.yres_virtual = mode.vdisplay;
    vinfo.bits_per_pixel = bits_per_pixel;
    if (bits_per_pixel == 16) {
        // RGB565, a little-endian 16-bit word: blue in the low bits.
        vinfo.blue = {0, 5, 0};
        vinfo.green = {5, 6, 0};
        vinfo.red = {11, 5, 0};
    } else {
        // XRGB8888 in memory order: blue, green, red, unused.
        vinfo.blue = {0, 8, 0};
        vinfo.green = {8, 8, 0};
        vinfo.red = {16, 8, 0};
    }
    return true;
}

std::string drm_depth_check(const char* text, uint32_t& depth)
{
    depth = 0;
    if (text == nullptr || *text == '\0')
        return "";
    if (std::strcmp(text, "16") == 0 || std::strcmp(text, "32") == 0) {
        depth = std::strcmp(text, "16") == 0 ? 16 : 32;
        return "";
    }
    return DRM_DEPTH_VARIABLE "=" + bench_text_escape(text) + " is not 16 or 32";
}

uint32_t drm_depth_choose(uint32_t asked, bool answered, uint64_t preferred_depth)
{
    if (asked != 0)
        return asked;
    return answered && preferred_depth == 16 ? 16 : 32;
}

uint32_t drm_card_depth(int fd, uint32_t asked)
{
    uint64_t preferred = 0;
    const bool answered = asked == 0 && drmGetCap(fd, DRM_CAP_DUMB_PREFERRED_DEPTH, &preferred) == 0;
    return drm_depth_choose(asked, answered, preferred);
}

// The plane's type property: DRM_PLANE_TYPE_PRIMARY, _OVERLAY or _CURSOR; -1 when it has none.
static int64_t drm_plane_type(int fd, uint32_t plane_id)
{
    int64_t type = -1;
    drmModeObjectProperties* properties = drmModeObjectGetProperties(fd, plane_id, DRM_MODE_OBJECT_PLANE);
    if (properties == nullptr)
        return type;
    for (uint32_t i = 0; i < properties->count_props && type < 0; ++i) {
        drmModePropertyRes* property = drmModeGetProperty(fd, properties->props[i]);
        if (property != nullptr && std::strcmp(property->name, "type") == 0)
            type = int64_t(properties->prop_values[i]);
        drmModeFreeProperty(property);
    }
    drmModeFreeObjectProperties(properties);
    return type;
}

std::vector<uint32_t> drm_primary_formats(int fd, size_t crtc_index)
{
    std::vector<uint32_t> formats;
    // Without it the primary planes are not listed.
    if (crtc_index >= 32 || drmSetClientCap(fd, DRM_CLIENT_CAP_UNIVERSAL_PLANES, 1) != 0)
        return formats;
    drmModePlaneRes* planes = drmModeGetPlaneResources(fd);
    if (planes == nullptr)
        return formats;
    for (uint32_t i = 0; i < planes->count_planes && formats.empty(); ++i) {
        drmModePlane* plane = drmModeGetPlane(fd, planes->planes[i]);
        if (plane != nullptr && (plane->possible_crtcs >> crtc_index & 1) != 0
            && drm_plane_type(fd, plane->plane_id) == DRM_PLANE_TYPE_PRIMARY)
            formats.assign(plane->formats, plane->formats + plane->count_formats);
        drmModeFreePlane(plane);
    }
    drmModeFreePlaneResources(planes);
    return formats;
}

// The kernel's name of a format planes commonly take; else its four-letter code.
static std::string drm_format_name(uint32_t format)
{
    static const std::pair<uint32_t, const char*> known[] = {
        {DRM_FORMAT_RGB565, "RGB565"},           {DRM_FORMAT_XRGB8888, "XRGB8888"},
        {DRM_FORMAT_ARGB8888, "ARGB8888"},       {DRM_FORMAT_XBGR8888, "XBGR8888"},
        {DRM_FORMAT_ABGR8888, "ABGR8888"},       {DRM_FORMAT_RGB888, "RGB888"},
        {DRM_FORMAT_BGR888, "BGR888"},           {DRM_FORMAT_XRGB2101010, "XRGB2101010"},
        {DRM_FORMAT_XRGB16161616, "XRGB16161616"}, {DRM_FORMAT_ARGB16161616, "ARGB16161616"},
    };
    for (const auto& [code, name] : known)
        if (code == format)
            return name;
    char* code = drmGetFormatName(format);
    std::string name = code != nullptr ? code : "?";
    std::free(code);
    return name;
}

std::string drm_format_names(const std::vector<uint32_t>& formats)
{
    std::string names;
    for (uint32_t format : formats)
        names += (names.empty() ? "" : ", ") + drm_format_name(format);
    return names;
}

std::string drm_mode_name(const drmModeModeInfo& mode)
{
    // The kernel fills vrefresh in every mode it reports.
    return std::to_string(mode.hdisplay) + "x" + std::to_string(mode.vdisplay) + "@" + std::to_string(mode.vrefresh);
}

std::string drm_connector_name(const drm_connector_state& connector)
{
    const char* type = drmModeGetConnectorTypeName(connector.type);
    return std::string(type != nullptr ? type : "Unknown") + "-" + std::to_string(connector.type_id);
}

int drm_card_read(int fd, drm_card_state& card)
{
    errno = 0;
    const std::unique_ptr<drmModeRes, decltype(&drmModeFreeResources)> resources(drmModeGetResources(fd),
                                                                                  drmModeFreeResources);
    if (resources == nullptr)
        return errno != 0 ? errno : ENODEV;
    card = {};
    for (int i = 0; i < resources->count_crtcs; ++i) {
        drmModeCrtc* crtc = drmModeGetCrtc(fd, resources->crtcs[i]);
        if (crtc == nullptr)
            return errno;
        card.crtcs.push_back({crtc->crtc_id, crtc->mode_valid != 0, crtc->mode});
        drmModeFreeCrtc(crtc);
    }
    for (int i = 0; i < resources->count_encoders; ++i) {
        drmModeEncoder* encoder = drmModeGetEncoder(fd, resources->encoders[i]);
        if (encoder == nullptr)
            return errno;
        card.encoders.push_back({encoder->encoder_id, encoder->crtc_id, encoder->possible_crtcs});
        drmModeFreeEncoder(encoder);
    }
    for (int i = 0; i < resources->count_connectors; ++i) {
        drmModeConnector* connector = drmModeGetConnector(fd, resources->connectors[i]);
        if (connector == nullptr)
            return errno;
        card.connectors.push_back({connector->connector_id, connector->connector_type, connector->connector_type_id,
                                   connector->connection == DRM_MODE_CONNECTED, connector->encoder_id,
                                   {connector->modes, connector->modes + connector->count_modes},
                                   {connector->encoders, connector->encoders + connector->count_encoders}});
        drmModeFreeConnector(connector);
    }
    return 0;
}

int drm_screen_open(drm_screen& drm, int fd, const char* device, uint32_t depth_asked, fb_var_screeninfo& vinfo)
{
    drm = {};
    drm.fd = fd;
    drm.device = device;
    if (drmSetMaster(fd) != 0) {
        const int master_errno = errno;
        // EBUSY, or EINVAL before Linux 5.x: another process is master; EACCES: one was.
        if (master_errno == EBUSY || master_errno == EINVAL || master_errno == EACCES || master_errno == EPERM)
            return bench_fail(bench_exit_resource, "%s: a display server is using it (%s)", device,
                              std::strerror(master_errno));
        return bench_fail(bench_exit_resource, "cannot become DRM master of %s: %s", device, std::strerror(master_errno));
    }
    drm.master = true;

    drm_card_state card;
    if (const int read_errno = drm_card_read(fd, card)) {
        drm_screen_close(drm);
        return bench_fail(bench_exit_resource, "cannot read the displays of %s: %s", device, std::strerror(read_errno));
    }
    switch (drm_card_choose(card, drm.choice)) {
    case drm_choice_made:
        break;
    case drm_choice_no_connector:
        drm_screen_close(drm);
        return bench_fail(bench_exit_resource, "%s has no connected display", device);
    case drm_choice_no_crtc:
        drm_screen_close(drm);
        return bench_fail(bench_exit_resource, "%s has no CRTC that can drive %s", device,
                          drm_connector_name(card.connectors[drm.choice.connector]).c_str());
    }

    drm.bits_per_pixel = drm_card_depth(fd, depth_asked);
    if (drm.bits_per_pixel == 16) {
        // A dumb buffer takes any depth; the plane that would show it may not.
        const auto crtc = std::find_if(card.crtcs.begin(), card.crtcs.end(),
                                       [&](const drm_crtc_state& c) { return c.id == drm.choice.crtc_id; });
        const std::vector<uint32_t> formats = drm_primary_formats(fd, size_t(crtc - card.crtcs.begin()));
        if (std::find(formats.begin(), formats.end(), DRM_FORMAT_RGB565) == formats.end()) {
            drm_screen_close(drm);
            return bench_fail(bench_exit_resource, "%s cannot show 16 bits per pixel (RGB565): its primary plane takes %s",
                              device, formats.empty() ? "no format it names" : drm_format_names(formats).c_str());
        }
    }

    const drmModeModeInfo& mode = drm.choice.mode;
    drm_mode_create_dumb create{};
    create.width = mode.hdisplay;
    create.height = mode.vdisplay;
    create.bpp = drm.bits_per_pixel;
    if (drmIoctl(fd, DRM_IOCTL_MODE_CREATE_DUMB, &create) != 0) {
        const int create_errno = errno;
        drm_screen_close(drm);
        return bench_fail(bench_exit_resource, "cannot create a %ux%u buffer on %s: %s", mode.hdisplay, mode.vdisplay,
                          device, std::strerror(create_errno));
    }
    drm.handle = create.handle;
    drm.pitch = create.pitch;
    drm.size = create.size;
    if (!drm_screen_geometry(mode, drm.pitch, drm.size, drm.bits_per_pixel, vinfo)) {
        drm_screen_close(drm);
        return bench_fail(bench_exit_resource, "%s gave a %ux%u buffer an unusable pitch of %u bytes or size of %llu bytes",
                          device, mode.hdisplay, mode.vdisplay, drm.pitch, static_cast<unsigned long long>(drm.size));
    }
    return 0;
}

// The SETCRTC request that puts back what the CRTC showed before, or turns it
// off when it showed nothing. Its connector list is the drm_screen's own.
static drm_mode_crtc drm_crtc_restore_request(const drm_screen& drm)
{
    const drm_crtc_saved& saved = drm.saved;
    drm_mode_crtc request{};
    request.crtc_id = drm.choice.crtc_id;
    if (saved.mode_valid && saved.fb_id != 0) {
        request.fb_id = saved.fb_id;
        request.x = saved.x;
        request.y = saved.y;
        request.set_connectors_ptr = uint64_t(uintptr_t(drm.choice.crtc_connector_ids.data()));
        request.count_connectors = uint32_t(drm.choice.crtc_connector_ids.size());
        static_assert(sizeof request.mode == sizeof saved.mode);
        std::memcpy(&request.mode, &saved.mode, sizeof request.mode);
        request.mode_valid = 1;
    }
    return request;
}

// What of the display drm holds, as display_release_give_back takes it.
static display_taken drm_screen_taken(const drm_screen& drm)
{
    return {drm.fd, drm.scanning_out ? drm_crtc_restore_request(drm) : drm_mode_crtc{}, drm.map, drm.map_len,
            drm.fb_id, drm.handle, drm.master};
}

int drm_screen_map(drm_screen& drm)
{
    drmModeModeInfo& mode = drm.choice.mode;
    // Depth 16 at 16 bits is RGB565, 24 at 32 bits XRGB8888.
    const uint8_t depth = drm.bits_per_pixel == 16 ? 16 : 24;
    if (drmModeAddFB(drm.fd, mode.hdisplay, mode.vdisplay, depth, uint8_t(drm.bits_per_pixel), drm.pitch, drm.handle,
                     &drm.fb_id) != 0) {
        const int add_errno = errno;
        drm.fb_id = 0;
        return bench_fail(bench_exit_resource, "cannot add a framebuffer to %s: %s", drm.device.c_str(), std::strerror(add_errno));
    }

    drm_mode_map_dumb map_request{};
    map_request.handle = drm.handle;
    int map_errno = 0;
    if (drmIoctl(drm.fd, DRM_IOCTL_MODE_MAP_DUMB, &map_request) != 0)
        map_errno = errno;
    else if (off_t(map_request.offset) < 0 || uint64_t(off_t(map_request.offset)) != map_request.offset)
        map_errno = EOVERFLOW;
    if (map_errno == 0) {
        // Only the rows drawn on: drm_screen_geometry keeps them within the buffer and 32-bit offsets.
        drm.map_len = size_t(drm.pitch) * mode.vdisplay;
        void* base = mmap(nullptr, drm.map_len, PROT_READ | PROT_WRITE, MAP_SHARED, drm.fd, off_t(map_request.offset));
        if (base == MAP_FAILED)
            map_errno = errno;
        else
            drm.map = base;
    }
    if (map_errno != 0)
        return bench_fail(bench_exit_resource, "cannot map the buffer of %s: %s", drm.device.c_str(), std::strerror(map_errno));

    drmModeCrtc* crtc = drmModeGetCrtc(drm.fd, drm.choice.crtc_id);
    if (crtc == nullptr)
        return bench_fail(bench_exit_resource, "cannot read the CRTC of %s: %s", drm.device.c_str(), std::strerror(errno));
    drm.saved = {crtc->buffer_id, crtc->x, crtc->y, crtc->mode_valid != 0, crtc->mode};
    drmModeFreeCrtc(crtc);

    // The handler is in place before the CRTC is taken.
    drm.scanning_out = true;
    display_release_take(drm_screen_taken(drm));
    if (drmModeSetCrtc(drm.fd, drm.choice.crtc_id, drm.fb_id, 0, 0, &drm.choice.connector_id, 1, &mode) != 0) {
        const int set_errno = errno;
        drm.scanning_out = false;
        return bench_fail(bench_exit_resource, "cannot show the buffer on %s: %s", drm.device.c_str(), std::strerror(set_errno));
    }
    return 0;
}

int drm_screen_flush(const drm_screen& drm, uint32_t x, uint32_t y, uint32_t width, uint32_t height)
{
    if (drm.fb_id == 0 || width == 0 || height == 0)
        return 0;
    // The window lies within the mode, whose sizes are 16-bit.
    drmModeClip clip{uint16_t(x), uint16_t(y), uint16_t(x + width), uint16_t(y + height)};
    // ENOSYS: the driver's framebuffers have no dirty hook (vkms, and drivers
    // whose display scans the buffer itself). Returned as it is, so that the
    // description can tell a flush that does nothing from one that waits.
    return drmModeDirtyFB(drm.fd, drm.fb_id, &clip, 1) != 0 ? errno : 0;
}

void drm_screen_close(drm_screen& drm)
{
    display_release_give_back(drm_screen_taken(drm));
    drm.scanning_out = false;
    drm.map = nullptr;
    drm.fb_id = 0;
    drm.handle = 0;
    drm.master = false;
}
