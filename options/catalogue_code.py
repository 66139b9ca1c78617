"""Writes the facts of src/drovik/_catalogue.py as C++ constants for drovik.options.

The compiled module never imports the catalogue, so that importing it costs
what it did: the keys, defaults, accepted words, message pieces, docstrings
and annotations are compiled in. The catalogue is loaded by its path, since
the package cannot be imported while it is being built, and checked first:
what the module relies on and cannot find ends the build with the reason.

    python catalogue_code.py CATALOGUE OUTPUT
"""

import importlib.util
import re
import sys

# The messages the module gives and the number of pieces each is made of:
# one is the whole text, two go around the value.
MESSAGE_PIECES = {
    "unknown_option": 2,
    "invalid_mode": 1,
    "allocator_missing": 2,
    "allocator_unavailable": 2,
    "working_directory_multibyte": 2,
    "set_form": 1,
    "set_key_type": 1,
}

# The keys whose meaning the module's own code knows, under the names it
# knows them by (the catalogue's attributes).
ROLE_KEYS = ("THREADS_KEY", "MODE_KEY", "ALLOCATOR_KEY", "WORKING_DIRECTORY_KEY", "PLEXA_KEY")


class CatalogueError(Exception):
    pass


def load(path):
    found = importlib.util.spec_from_file_location("drovik_catalogue", path)
    catalogue = importlib.util.module_from_spec(found)
    found.loader.exec_module(catalogue)
    return catalogue


def require(condition, problem):
    if not condition:
        raise CatalogueError(problem)


def is_word(text):
    return isinstance(text, str) and text.isascii() and text.isprintable()


def check_keys(c):
    default_keys = tuple(key for key, _ in c.DEFAULTS)
    require(len(set(c.KEYS)) == len(c.KEYS), "KEYS: a key is listed twice")
    require(
        c.KEYS == default_keys + tuple(c.COMMAND_KEYS),
        "KEYS must be the keys of DEFAULTS in their order, then COMMAND_KEYS: every key but the "
        "command paths needs a default",
    )
    require(all(is_word(key) for key in c.KEYS), "KEYS: every key is printable ASCII text")
    names = [identifier(key) for key in c.KEYS]
    require(len(set(names)) == len(names), "KEYS: two keys differ only in case or punctuation")
    for role in ROLE_KEYS:
        require(getattr(c, role) in default_keys, f"{role} {getattr(c, role)!r} has no default")
    require(len(c.COMMAND_KEYS) == 2, "COMMAND_KEYS: the engine path, then the mesh generator's")
    require(
        set(c.BUILTIN_PATH_FUNCTIONS) == set(c.COMMAND_KEYS),
        "BUILTIN_PATH_FUNCTIONS: one built-in path function for each command key",
    )


def check_defaults(c):
    for key, value in c.DEFAULTS:
        if value is c.THREAD_STRING:
            require(key == c.THREADS_KEY, f"{key!r}: only THREADS_KEY defaults to THREAD_STRING")
        else:
            require(
                value is None or isinstance(value, (bool, int, str)),
                f"{key!r}: a default is None, a bool, an int or a str, not {value!r}",
            )
        require(not isinstance(value, int) or -(2**31) < value < 2**31, f"{key!r}: int too large")
    defaults = dict(c.DEFAULTS)
    require(defaults[c.THREADS_KEY] is c.THREAD_STRING, "THREADS_KEY defaults to THREAD_STRING")
    require(isinstance(c.MAX_THREADS, int) and 1 <= c.MAX_THREADS <= 256, "MAX_THREADS: 1 to 256")
    require(is_word(c.THREAD_SUFFIX), "THREAD_SUFFIX: printable ASCII text")
    require(defaults[c.MODE_KEY] in c.ENGINE_MODES, "MODE_KEY's default is an accepted mode")
    require(defaults[c.MODE_KEY] not in c.MODE_REPLACEMENTS, "MODE_KEY's default is stored as it is")
    require(
        defaults[c.ALLOCATOR_KEY] in c.ALLOCATOR_NAMES and defaults[c.ALLOCATOR_KEY] != c.UNSET_ALLOCATOR,
        "ALLOCATOR_KEY's default is an allocator name other than UNSET_ALLOCATOR",
    )


def check_words(c):
    for group in ("ENGINE_MODES", "ALLOCATOR_NAMES", "REMOTE_ENGINE_WORDS"):
        words = getattr(c, group)
        require(words and all(is_word(word) for word in words), f"{group}: printable ASCII words")
        require(len(set(words)) == len(words), f"{group}: a word is listed twice")
    for old, new in c.MODE_REPLACEMENTS.items():
        require(old in c.ENGINE_MODES, f"MODE_REPLACEMENTS: {old!r} is no accepted mode")
        require(
            new in c.ENGINE_MODES and new not in c.MODE_REPLACEMENTS,
            f"MODE_REPLACEMENTS: {old!r} becomes {new!r}, which is no accepted mode that stays",
        )
    require(
        c.ALLOCATOR_NAMES[0] == c.UNSET_ALLOCATOR,
        "ALLOCATOR_NAMES: UNSET_ALLOCATOR comes first",
    )
    require(
        all(word == word.lower() for word in c.REMOTE_ENGINE_WORDS),
        "REMOTE_ENGINE_WORDS: lower case, as lower() leaves them",
    )


def check_messages(c):
    require(
        set(c.MESSAGES) == set(MESSAGE_PIECES),
        f"MESSAGES: the module gives exactly {sorted(MESSAGE_PIECES)}; "
        f"missing {sorted(set(MESSAGE_PIECES) - set(c.MESSAGES))}, "
        f"unused {sorted(set(c.MESSAGES) - set(MESSAGE_PIECES))}",
    )
    for name, pieces in c.MESSAGES.items():
        require(
            len(pieces) == MESSAGE_PIECES[name] and all(isinstance(p, str) for p in pieces),
            f"MESSAGES[{name!r}]: {MESSAGE_PIECES[name]} piece(s) of text",
        )
    invalid_mode = c.MESSAGES["invalid_mode"][0]
    for mode in (c.MODE_KEY, *c.ENGINE_MODES):
        require(f"'{mode}'" in invalid_mode, f"MESSAGES['invalid_mode'] does not name '{mode}'")


def check_functions(c):
    names = [function.name for function in c.FUNCTIONS]
    require(len(set(names)) == len(names), "FUNCTIONS: a name is listed twice")
    for function in c.FUNCTIONS:
        where = f"FUNCTIONS {function.name!r}"
        require(re.fullmatch(r"[A-Za-z_]\w*", function.name), f"{where}: not a name")
        stub = stub_function(function)
        parameters = stub.__code__.co_varnames[: stub.__code__.co_argcount]
        require(
            stub.__defaults__ in (None, (None,)) and not stub.__kwdefaults__,
            f"{where}: the only default the module gives is None, for the last parameter",
        )
        keys = [name for name, _ in function.annotations]
        require(len(set(keys)) == len(keys), f"{where}: an annotation is given twice")
        require(
            set(keys) - {"return"} <= set(parameters),
            f"{where}: an annotation names no parameter",
        )
        require(
            all(isinstance(text, str) for _, text in function.annotations),
            f"{where}: annotations are strings",
        )
        require(function.doc is None or isinstance(function.doc, str), f"{where}: doc is text")


def validate(c):
    check_keys(c)
    check_defaults(c)
    check_words(c)
    check_messages(c)
    check_functions(c)


def stub_source(function):
    """A def with the function's parameters and local names, and nothing else."""
    body = " = ".join(function.local_names) + " = None" if function.local_names else "pass"
    return f"def {function.name}({function.parameters}):\n    {body}\n"


def stub_function(function):
    namespace = {}
    exec(compile(stub_source(function), "<drovik.options>", "exec", dont_inherit=True), namespace)
    return namespace[function.name]


def identifier(text):
    return re.sub(r"\W", "_", text.lstrip("_")).upper()


def literal(text):
    """A C++ string literal of the UTF-8 bytes of `text`, which the module decodes."""
    pieces = []
    for byte in text.encode("utf-8"):
        char = chr(byte)
        if char in '"\\':
            pieces.append("\\" + char)
        elif char == "\n":
            pieces.append("\\n")
        elif 32 <= byte < 127:
            pieces.append(char)
        else:
            # Three octal digits end the escape, whatever character follows.
            pieces.append(f"\\{byte:03o}")
    return '"' + "".join(pieces) + '"'


def text_array(name, texts, size=""):
    items = "".join(f"    {literal(text)},\n" for text in texts)
    return f"inline constexpr const char *{name}[{size}] = {{\n{items}}};\n"


def enum(name, prefix, texts, count):
    items = "".join(f"    {prefix}{identifier(text)},\n" for text in texts)
    return f"enum {name} {{\n{items}    {count}\n}};\n"


def default_row(key, value, c):
    if value is c.THREAD_STRING:
        value_code = "DefaultKind::THREADS, 0, nullptr"
    elif value is None:
        value_code = "DefaultKind::NONE, 0, nullptr"
    elif isinstance(value, bool):
        value_code = f"DefaultKind::{'TRUE' if value else 'FALSE'}, 0, nullptr"
    elif isinstance(value, int):
        value_code = f"DefaultKind::INT, {value}, nullptr"
    else:
        value_code = f"DefaultKind::TEXT, 0, {literal(value)}"
    return f"    {{KEY_{identifier(key)}, {value_code}}},\n"


def message_texts(c):
    texts = []
    for name in MESSAGE_PIECES:
        pieces = c.MESSAGES[name]
        suffixes = ("_HEAD", "_TAIL") if len(pieces) == 2 else ("",)
        texts += [(identifier(name) + suffix, piece) for suffix, piece in zip(suffixes, pieces)]
    return texts


def annotation_array(function):
    pairs = "".join(f"{literal(name)}, {literal(text)}, " for name, text in function.annotations)
    name = f"ANNOTATIONS_{identifier(function.name)}"
    return f"inline constexpr const char *{name}[] = {{{pairs}nullptr}};\n"


def function_row(function):
    doc = literal(function.doc) if function.doc is not None else "nullptr"
    defaults_to_none = "true" if stub_function(function).__defaults__ else "false"
    return (
        f"    {{{literal(function.name)}, {doc},\n     ANNOTATIONS_{identifier(function.name)}, {defaults_to_none}}},\n"
    )


def write(c, out):
    messages = message_texts(c)
    thread_strings = [""] + [f"{n}{c.THREAD_SUFFIX}" for n in range(1, c.MAX_THREADS + 1)]
    parts = [
        "// Written at build time by options/catalogue_code.py from src/drovik/_catalogue.py.\n"
        "#pragma once\n\nnamespace drovik {\n",
        "\n// The option keys, in the order of a read of all options.\n",
        enum("Key", "KEY_", c.KEYS, "KEY_COUNT"),
        text_array("KEY_TEXTS", c.KEYS, "KEY_COUNT"),
        *(f"constexpr Key {role} = KEY_{identifier(getattr(c, role))};\n" for role in ROLE_KEYS),
        "\n// The defaults, in the order of their table.\n"
        "enum class DefaultKind { NONE, FALSE, TRUE, INT, TEXT, THREADS };\n"
        "struct DefaultRow {\n    Key key;\n    DefaultKind kind;\n    long number;\n"
        "    const char *text;\n};\n",
        f"constexpr int DEFAULT_COUNT = {len(c.DEFAULTS)};\n",
        "inline constexpr DefaultRow DEFAULT_ROWS[DEFAULT_COUNT] = {\n",
        *(default_row(key, value, c) for key, value in c.DEFAULTS),
        "};\n",
        f"constexpr long MAX_THREADS = {c.MAX_THREADS};\n",
        f"inline constexpr char THREAD_SUFFIX[] = {literal(c.THREAD_SUFFIX)};\n",
        "// By count, spelt out rather than formatted at every import.\n",
        text_array("THREAD_STRING_TEXTS", thread_strings, "MAX_THREADS + 1"),
        "\n// The words that the checks and the reads compare with.\n",
        f"constexpr int ENGINE_MODE_COUNT = {len(c.ENGINE_MODES)};\n",
        text_array("ENGINE_MODE_TEXTS", c.ENGINE_MODES, "ENGINE_MODE_COUNT"),
        f"constexpr int MODE_REPLACEMENT_COUNT = {len(c.MODE_REPLACEMENTS)};\n",
        "inline constexpr const char *MODE_REPLACEMENT_TEXTS[MODE_REPLACEMENT_COUNT][2] = {\n",
        *(f"    {{{literal(old)}, {literal(new)}}},\n" for old, new in c.MODE_REPLACEMENTS.items()),
        "};\n",
        f"constexpr int ALLOCATOR_NAME_COUNT = {len(c.ALLOCATOR_NAMES)};\n",
        text_array("ALLOCATOR_NAME_TEXTS", c.ALLOCATOR_NAMES, "ALLOCATOR_NAME_COUNT"),
        f"constexpr int REMOTE_ENGINE_WORD_COUNT = {len(c.REMOTE_ENGINE_WORDS)};\n",
        text_array("REMOTE_ENGINE_WORD_TEXTS", c.REMOTE_ENGINE_WORDS, "REMOTE_ENGINE_WORD_COUNT"),
        "\n// The pieces of the messages of errors and warnings.\n",
        enum("Message", "MESSAGE_", [name for name, _ in messages], "MESSAGE_COUNT"),
        text_array("MESSAGE_TEXTS", [text for _, text in messages], "MESSAGE_COUNT"),
        "\n// The module's functions as Python sees them, in the order they are bound.\n",
        enum("FunctionId", "F_", [f.name for f in c.FUNCTIONS], "FUNCTION_COUNT"),
        *(annotation_array(f) for f in c.FUNCTIONS),
        "struct FunctionFacts {\n    const char *name;\n    const char *doc; // nullptr: none\n"
        "    const char *const *annotations; // name, text pairs, nullptr-terminated\n"
        "    bool last_defaults_to_none;     // __defaults__ == (None,)\n};\n",
        "inline constexpr FunctionFacts FUNCTION_FACTS[FUNCTION_COUNT] = {\n",
        *(function_row(f) for f in c.FUNCTIONS),
        "};\n",
        f"inline constexpr char MODULE_DOC[] = {literal(c.MODULE_DOC)};\n",
        "\n} // namespace drovik\n",
    ]
    out.write("".join(parts))


def main(catalogue_path, output):
    catalogue = load(catalogue_path)
    try:
        validate(catalogue)
    except CatalogueError as problem:
        sys.exit(f"{catalogue_path}: {problem}")
    with open(output, "w", encoding="ascii") as out:
        write(catalogue, out)


if __name__ == "__main__":
    main(*sys.argv[1:])
