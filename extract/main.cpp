#include "extract/extract.h"
#include "platform/platform.h"
#include "report/console.h"

int main(int argc, char** argv) {
    int count;
    char** arguments;
    platform_arguments(argc, argv, &count, &arguments);
    console_init();
    reset_extract_state();
    return run_extract(count, arguments);
}
