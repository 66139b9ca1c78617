// The process-wide state of drovik.options and its one initialiser.

#include "state.hpp"

#include "function.hpp"
#include "table.hpp"

#include <utility>

namespace drovik {

ProcessState process;

namespace {

template <typename Group> using StringText = std::pair<PyObject * Group::*, const char *>;

const StringText<OptionKeys> KEY_TEXTS[] = {
    {&OptionKeys::skorv_arg, "skorv.arg"},
    {&OptionKeys::mevro_arg, "mevro.arg"},
    {&OptionKeys::num_threads, "num.threads"},
    {&OptionKeys::smtp, "smtp"},
    {&OptionKeys::safe, "safe"},
    {&OptionKeys::keep, "keep"},
    {&OptionKeys::verbose, "verbose"},
    {&OptionKeys::save_memory, "save.memory"},
    {&OptionKeys::internal_opt, "internal.opt"},
    {&OptionKeys::working_directory, "working.directory"},
    {&OptionKeys::silent, "silent"},
    {&OptionKeys::debug, "debug"},
    {&OptionKeys::show_warning_graph_file, "show.warning.graph.file"},
    {&OptionKeys::scale_model_default, "scale.model.default"},
    {&OptionKeys::short_summary, "short.summary"},
    {&OptionKeys::skorv_timeout, "skorv.timeout"},
    {&OptionKeys::mevro_timeout, "mevro.timeout"},
    {&OptionKeys::skorv_mode, "skorv.mode"},
    {&OptionKeys::malloc_lib, "malloc.lib"},
    {&OptionKeys::mevro_evolution, "mevro.evolution"},
    {&OptionKeys::mevro_evolution_warn, "mevro.evolution.warn"},
    {&OptionKeys::mevro_evolution_verbosity, "mevro.evolution.verbosity"},
    {&OptionKeys::plexa_features, "Plexa.features"},
    {&OptionKeys::numa, "numa"},
    {&OptionKeys::skorv_call, "skorv.call"},
    {&OptionKeys::mevro_call, "mevro.call"},
};

const StringText<AttributeNames> ATTRIBUTE_TEXTS[] = {
    {&AttributeNames::cpu_count, "cpu_count"},
    {&AttributeNames::path, "path"},
    {&AttributeNames::exists, "exists"},
    {&AttributeNames::warn, "warn"},
    {&AttributeNames::lower, "lower"},
    {&AttributeNames::startswith, "startswith"},
    {&AttributeNames::get, "get"},
    {&AttributeNames::keys, "keys"},
    {&AttributeNames::note_for, "note_for"},
    {&AttributeNames::add_note, "add_note"},
};

const StringText<Words> WORD_TEXTS[] = {
    {&Words::option, "option"},
    {&Words::value, "value"},
    {&Words::empty, ""},
    {&Words::slash, "/"},
    {&Words::thread_suffix, ":1"},
    {&Words::remote, "remote"},
    {&Words::skorv_remote, "skorv.remote"},
    {&Words::default_, "default"},
    {&Words::compact, "compact"},
    {&Words::classic, "classic"},
    {&Words::twostage, "twostage"},
    {&Words::experimental, "experimental"},
    {&Words::compiler, "compiler"},
    {&Words::je, "je"},
    {&Words::tc, "tc"},
    {&Words::mi, "mi"},
    {&Words::module_name, "drovik.options"},
    {&Words::suggest_module, "drovik._suggest"},
};

const StringText<Messages> MESSAGE_TEXTS[] = {
    {&Messages::unknown_option_head, "Unknown option '"},
    {&Messages::quote, "'"},
    {&Messages::invalid_mode,
     "Invalid 'skorv.mode'. Must be 'compact', 'classic', 'twostage', or 'experimental'."},
    {&Messages::malloc_missing_head, "User-defined library for option 'malloc.lib', "},
    {&Messages::malloc_missing_tail, ", does not exist. Using default."},
    {&Messages::malloc_unavailable_head, "Value for option 'malloc.lib' = "},
    {&Messages::malloc_unavailable_tail, " may not be available on this system."},
    {&Messages::wdir_head, "*** working.directory=["},
    {&Messages::wdir_tail, "] contains multibyte characters. This may fail on some systems."},
};

// Indexed by Name.
const char *const GLOBAL_NAME_TEXTS[NAME_COUNT] = {
    "os",
    "warnings",
    "_SKORV_OPTIONS",
    "_cpu_default_string",
    "skorv_get_option_default",
    "skorv_get_option",
    "_set_one",
    "_post_set_checks",
    "skorv_call_builtin",
    "mevro_call_builtin",
    "skorv_remote_script",
    "_any_mb",
};

int intern_once(PyObject *&slot, const char *text) {
    if (!slot) {
        slot = PyUnicode_InternFromString(text);
    }
    return slot ? 0 : -1;
}

template <typename Group, size_t N>
int intern_group(Group &group, const StringText<Group> (&texts)[N]) {
    for (const auto &[member, text] : texts) {
        if (intern_once(group.*member, text) < 0) {
            return -1;
        }
    }
    return 0;
}

int init_strings() {
    if (intern_group(process.keys, KEY_TEXTS) < 0 ||
        intern_group(process.attr, ATTRIBUTE_TEXTS) < 0 ||
        intern_group(process.words, WORD_TEXTS) < 0 ||
        intern_group(process.messages, MESSAGE_TEXTS) < 0) {
        return -1;
    }
    for (int name = 0; name < NAME_COUNT; ++name) {
        if (intern_once(process.global_names[name], GLOBAL_NAME_TEXTS[name]) < 0) {
            return -1;
        }
    }
    return 0;
}

} // namespace

int init_process_state() {
    if (init_strings() < 0 || init_defaults_template() < 0 || init_thread_strings() < 0 ||
        init_function_type() < 0) {
        return -1;
    }
    return 0;
}

} // namespace drovik
