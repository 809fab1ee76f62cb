// untree-mount's command line.
#include <stdio.h>
#include <string.h>

#include "mount/mount.h"
#include "platform/mount_serve.h"
#include "report/console.h"
#include "report/exit_status.h"

#ifndef UNTREE_VERSION
#error "UNTREE_VERSION comes from the project version in CMakeLists.txt"
#endif

static const char HELP_TEXT[] =
    "Usage: untree-mount [-f] [-o OPTIONS] ARCHIVE MOUNTPOINT\n"
    "Show a tree archive as a read-only directory at MOUNTPOINT, without\n"
    "extracting anything: each file is read from the archive when it is read.\n"
    "The tree is the one untree would restore: the same names, the same entries\n"
    "left out, the read-only attribute as the permission bits, the times.\n"
    "\n"
    "  -f           stay in the foreground (otherwise untree-mount returns once\n"
    "               the mount stands, and serves it from the background)\n"
    "  -o OPTIONS   mount options for FUSE, comma-separated (allow_other, ...)\n"
    "\n"
    "Unmount with fusermount3 -u MOUNTPOINT (or umount MOUNTPOINT as root);\n"
    "SIGINT and SIGTERM unmount too.\n"
    "\n"
    "Exit status:\n"
    "  0  mounted, and unmounted again (in the foreground); or mounted and gone\n"
    "     to the background\n"
    "  1  nothing mounted: the archive cannot be opened, is damaged or is no\n"
    "     tree archive (untree-list --check's reason is shown), MOUNTPOINT\n"
    "     cannot be used, or wrong arguments\n"
    "\n"
    "  -h, --help   show this help and exit\n"
    "  --version    show the version and exit\n"
    "  --           what follows is ARCHIVE and MOUNTPOINT, even if it starts with -\n"
    "\n"
    "The manual page untree-mount(1) explains more.\n";

static int usage_error(const char* what) {
    console_err("untree-mount: %s\n", what);
    console_err("usage: untree-mount [-f] [-o OPTIONS] ARCHIVE MOUNTPOINT\n");
    console_finish();
    return EXIT_EARLY;
}

int main(int argc, char** argv) {
    int count;
    char** arguments;
    platform_arguments(argc, argv, &count, &arguments);
    platform_init_process();
    console_init();
    MountState* m = &g_mount;
    const char* operands[2] = {0, 0};
    int operand_count = 0;
    bool options_done = false;
    for (int i = 1; i < count; i++) {
        const char* a = arguments[i];
        if (options_done || a[0] != '-' || a[1] == 0) {
            if (operand_count < 2) operands[operand_count] = a;
            operand_count++;
        } else if (strcmp(a, "--") == 0) {
            options_done = true;
        } else if (strcmp(a, "-h") == 0 || strcmp(a, "--help") == 0) {
            console_out("%s", HELP_TEXT);
            return console_finish() == 0 ? EXIT_COMPLETE : EXIT_EARLY;
        } else if (strcmp(a, "--version") == 0) {
            console_out("untree-mount " UNTREE_VERSION "\n");
            return console_finish() == 0 ? EXIT_COMPLETE : EXIT_EARLY;
        } else if (strcmp(a, "-f") == 0) {
            m->foreground = true;
        } else if (strcmp(a, "-o") == 0) {
            if (i + 1 == count) return usage_error("-o needs OPTIONS");
            m->options = arguments[++i];
        } else if (strncmp(a, "-o", 2) == 0) {
            m->options = a + 2;
        } else {
            char what[300];
            snprintf(what, sizeof what, "unknown option: %.256s", a);
            return usage_error(what);
        }
    }
    if (operand_count == 0) return usage_error("ARCHIVE is missing");
    if (operand_count == 1) return usage_error("MOUNTPOINT is missing");
    if (operand_count > 2) return usage_error("too many arguments");
    m->mount_point = operands[1];
    if (!build_tree(operands[0])) {
        console_finish();
        return EXIT_EARLY;
    }
    console_finish();
    return platform_mount_serve();
}
