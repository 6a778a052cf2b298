// Compiled, never linked: fails the build when the identifiers the code reports differ from
// the ones windmc assigns to the message file's texts.
#include "eventids.h"
#include "tollivarmsg.h"

static_assert(kEventText == MSG_TEXT, "message 0 of tollivarmsg.mc");
static_assert(kEventUntrustedAgent == MSG_UNTRUSTED_AGENT, "message 1 of tollivarmsg.mc");
static_assert(kEventMessageBox == MSG_MESSAGE_BOX, "message 2 of tollivarmsg.mc");
static_assert(kEventCrash == MSG_CRASH, "message 3 of tollivarmsg.mc");
