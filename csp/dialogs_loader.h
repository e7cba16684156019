// Moved to csp/linux/dialogs_loader.h; kept until every includer names the
// new place.
#include "csp/linux/dialogs_loader.h"
