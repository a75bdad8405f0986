// The constants that OstrinAPI.h publishes, held against the definitions the library and the service
// work with, so that a change on either side that the other does not follow stops the build.
#include <string>

#include "client/OstrinAPI.h"
#include "client/client_errors.h"
#include "common/protocol.h"
#include "index/image_format.h"

static_assert(OSTRIN_API_VERSION_MAJOR == OSTRIN_PROJECT_VERSION_MAJOR &&
                  OSTRIN_API_VERSION_MINOR == OSTRIN_PROJECT_VERSION_MINOR &&
                  OSTRIN_API_VERSION_PATCH == OSTRIN_PROJECT_VERSION_PATCH,
              "the header's version is the project's");
static_assert(std::char_traits<char>::compare(OSTRIN_API_VERSION_STRING, OSTRIN_PROJECT_VERSION,
                                              sizeof OSTRIN_PROJECT_VERSION) == 0,
              "the header's version text is the project's");
static_assert(OSTRIN_API_VERSION_NUMBER ==
              OSTRIN_PROJECT_VERSION_MAJOR * 10000 + OSTRIN_PROJECT_VERSION_MINOR * 100 + OSTRIN_PROJECT_VERSION_PATCH);

static_assert(OSTRIN_API_SERVICE_PORT == CLIENT_PORT);
static_assert(OSTRIN_ATTRIBUTE_HAS_HARDLINKS == ATTR_HAS_HARDLINKS);

// The command server's codes (the volume's and the scan's, 2 to 19, are held against the service's
// headers by the tests: the library does not see them).
static_assert(OSTRIN_ERROR_LETTER_OUT_OF_RANGE == ERR_LETTER_OUT_OF_RANGE.code);
static_assert(OSTRIN_ERROR_PROTOCOL_MAGIC_BAD == ERR_PROTOCOL_MAGIC_BAD.code);
static_assert(OSTRIN_ERROR_WRONG_PROTOCOL_VERSION == ERR_WRONG_PROTOCOL_VERSION.code);
static_assert(OSTRIN_ERROR_NOT_AUTHENTICATED == ERR_NOT_AUTHENTICATED.code);
static_assert(OSTRIN_ERROR_OPEN_THREAD_FAILED == ERR_OPEN_THREAD_FAILED.code);
static_assert(OSTRIN_ERROR_OPEN_IN_PROGRESS == ERR_OPEN_IN_PROGRESS.code);
static_assert(OSTRIN_ERROR_SERVICE_DRIVE_NOT_OPEN == ERR_DRIVE_NOT_OPEN.code);
static_assert(OSTRIN_ERROR_UNKNOWN_COMMAND == ERR_UNKNOWN_COMMAND.code);
static_assert(OSTRIN_ERROR_ACCESS_DENIED == ERR_ACCESS_DENIED.code);
