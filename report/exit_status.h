// The exit statuses of both programs.
#ifndef UNTREE_EXIT_STATUS_H
#define UNTREE_EXIT_STATUS_H

enum ExitStatus {
    EXIT_COMPLETE = 0,    // finished, and everything selected came out whole
    EXIT_EARLY = 1,       // nothing was done: bad arguments, archive or destination unusable
    EXIT_INCOMPLETE = 2,  // finished, but something was skipped, refused or came out short
};

#endif
