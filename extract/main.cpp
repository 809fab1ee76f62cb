#include "extract/extract.h"
#include "extract/help.h"
#include "platform/platform.h"
#include "report/console.h"
#include "report/exit_status.h"
#include "report/failure.h"

int main(int argc, char** argv) {
    int count;
    char** arguments;
    platform_arguments(argc, argv, &count, &arguments);
    platform_init_process();
    console_init();
    reset_extract_state();
    int status;
    int first = read_options(count, arguments, &status);
    if (first < 0) return status;
    // The operands after the program's name, as run_extract takes them.
    arguments[first - 1] = arguments[0];
    return run_extract(count - first + 1, arguments + first - 1);
}
