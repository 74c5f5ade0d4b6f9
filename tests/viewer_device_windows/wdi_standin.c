/* A stand-in for the driver-installer library with the same entry points and calling convention,
 * for tests under Wine. The test scripts it through standin_* functions and reads back what the
 * installer asked for. Not thread-safe; one test at a time. */
#include <windows.h>

#include <stdio.h>
#include <string.h>

struct wdi_device_info {
    struct wdi_device_info *next;
    unsigned short vid;
    unsigned short pid;
    BOOL is_composite;
    unsigned char mi;
    char *desc;
    char *driver;
    char *device_id;
    char *hardware_id;
    char *compatible_id;
    char *upper_filter;
    UINT64 driver_version;
};

struct wdi_options_create_list {
    BOOL list_all;
    BOOL list_hubs;
    BOOL trim_whitespaces;
};

struct wdi_options_prepare_driver {
    int driver_type;
    char *vendor_name;
    char *device_guid;
    BOOL disable_cat;
    BOOL disable_signing;
    char *cert_subject;
    BOOL use_wcid_driver;
    BOOL external_inf;
};

#define MAX_DEVICES 8

static struct wdi_device_info g_devices[MAX_DEVICES];
static char g_desc[MAX_DEVICES][32];
static int g_deviceCount;
static int g_listResult, g_prepareResult, g_installResult;
static int g_liveLists;
static char g_log[4096];

static void note(const char *line)
{
    size_t used = strlen(g_log);
    if (used + strlen(line) + 2 < sizeof g_log) {
        strcat(g_log, line);
        strcat(g_log, "\n");
    }
}

__declspec(dllexport) void standin_reset(int listResult, int prepareResult, int installResult)
{
    g_deviceCount = 0;
    g_listResult = listResult;
    g_prepareResult = prepareResult;
    g_installResult = installResult;
    g_liveLists = 0;
    g_log[0] = 0;
}

__declspec(dllexport) void standin_add_device(unsigned short vid, unsigned short pid)
{
    if (g_deviceCount < MAX_DEVICES) {
        struct wdi_device_info *d = &g_devices[g_deviceCount];
        memset(d, 0, sizeof *d);
        d->vid = vid;
        d->pid = pid;
        snprintf(g_desc[g_deviceCount], sizeof g_desc[0], "device %04X", vid);
        d->desc = g_desc[g_deviceCount];
        ++g_deviceCount;
    }
}

__declspec(dllexport) const char *standin_log(void) { return g_log; }
__declspec(dllexport) int standin_live_lists(void) { return g_liveLists; }

__declspec(dllexport) const char *WINAPI wdi_strerror(int code)
{
    static char text[64];
    snprintf(text, sizeof text, "stand-in error %d", code);
    return text;
}

__declspec(dllexport) int WINAPI wdi_create_list(struct wdi_device_info **list,
                                                 struct wdi_options_create_list *options)
{
    char line[96];
    snprintf(line, sizeof line, "create_list all=%d hubs=%d trim=%d", options ? (int)options->list_all : -1,
             options ? (int)options->list_hubs : -1, options ? (int)options->trim_whitespaces : -1);
    note(line);
    *list = NULL;
    if (g_listResult != 0)
        return g_listResult;
    if (g_deviceCount == 0)
        return -4;
    for (int i = 0; i < g_deviceCount; ++i)
        g_devices[i].next = i + 1 < g_deviceCount ? &g_devices[i + 1] : NULL;
    *list = &g_devices[0];
    ++g_liveLists;
    return 0;
}

__declspec(dllexport) int WINAPI wdi_destroy_list(struct wdi_device_info *list)
{
    note(list == &g_devices[0] ? "destroy_list" : "destroy_list of an unknown list");
    if (list == &g_devices[0])
        --g_liveLists;
    return 0;
}

__declspec(dllexport) int WINAPI wdi_prepare_driver(struct wdi_device_info *device, const char *path,
                                                    const char *inf, struct wdi_options_prepare_driver *o)
{
    char line[256];
    int zero = o && !o->vendor_name && !o->device_guid && !o->disable_cat && !o->disable_signing &&
               !o->cert_subject && !o->use_wcid_driver && !o->external_inf;
    snprintf(line, sizeof line, "prepare %04X %s %s type=%d rest-zero=%d", device ? device->vid : 0, path, inf,
             o ? o->driver_type : -1, zero);
    note(line);
    return g_prepareResult;
}

__declspec(dllexport) int WINAPI wdi_install_driver(struct wdi_device_info *device, const char *path,
                                                    const char *inf, void *options)
{
    char line[256];
    snprintf(line, sizeof line, "install %04X %s %s options=%s", device ? device->vid : 0, path, inf,
             options ? "set" : "null");
    note(line);
    return g_installResult;
}

__declspec(dllexport) int WINAPI wdi_set_log_level(int level)
{
    char line[32];
    snprintf(line, sizeof line, "log_level %d", level);
    note(line);
    return 0;
}
