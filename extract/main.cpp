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
    if (answer_info_request(count, arguments)) return finish_output(EXIT_COMPLETE);
    reset_extract_state();
    return run_extract(count, arguments);
}
