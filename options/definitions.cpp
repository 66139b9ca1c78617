// The seven functions as Python sees them: names, docstrings, annotations,
// defaults, and the entry point that each call goes to.

#include "calls.hpp"
#include "function.hpp"

namespace drovik {

namespace {

const char GET_OPTION_DEFAULT_DOC[] =
    "\n    Default options (no recursion to get current options).\n    ";

const char GET_OPTION_DOC[] =
    "\n"
    "    Get current option(s). If option is None, return a dict of current values.\n"
    "    Special handling for 'skorv.call' and 'mevro.call' to avoid recursion.\n"
    "    ";

const char SET_OPTION_DOC[] =
    "\n"
    "    Set global options.\n"
    "\n"
    "    Supports:\n"
    "      skorv_set_option(\"keep\", True)\n"
    "      skorv_set_option(keep=True, num_threads=\"4:1\")\n"
    "      skorv_set_option(keep=True, num_threads=\"4:1\", verbose=True)\n"
    "    ";

const char *const RETURNS_STR[] = {"return", "str", nullptr};
const char *const RETURNS_DICT[] = {"return", "Dict[str, Any]", nullptr};
const char *const OPTION_ONLY[] = {"option", "Optional[Union[str, list]]", nullptr};
const char *const RETURNS_NONE[] = {"return", "None", nullptr};
const char *const SET_ONE_ANNOTATIONS[] = {"option", "str",  "value", "Any",
                                           "return", "None", nullptr};
const char *const RETURNS_BOOL[] = {"return", "bool", nullptr};

} // namespace

const FunctionDef FUNCTION_DEFS[FUNCTION_COUNT] = {
    {"_cpu_default_string", cpu_default_string_entry, nullptr, RETURNS_STR, false},
    {"skorv_get_option_default", get_option_default_entry, GET_OPTION_DEFAULT_DOC, RETURNS_DICT,
     false},
    {"skorv_get_option", get_option_entry, GET_OPTION_DOC, OPTION_ONLY, true},
    {"skorv_set_option", set_option_entry, SET_OPTION_DOC, RETURNS_NONE, false},
    {"_set_one", set_one_entry, nullptr, SET_ONE_ANNOTATIONS, false},
    {"_post_set_checks", post_set_checks_entry, nullptr, RETURNS_NONE, false},
    {"skorv_enabled_Plexa_features", plexa_enabled_entry, nullptr, RETURNS_BOOL, false},
};

} // namespace drovik
