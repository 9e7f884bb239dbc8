#include "names.hpp"

#include <array>

namespace pef {

namespace {

template <typename... Texts>
PyObject* kwnames_tuple(Texts... texts)
{
    const std::array<const char*, sizeof...(Texts)> items{texts...};
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    if (!tuple) {
        return nullptr;
    }
    for (size_t i = 0; i < items.size(); ++i) {
        PyObject* item = PyUnicode_InternFromString(items[i]);
        if (item == nullptr) {
            return nullptr;
        }
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), item);
    }
    return tuple.release();
}

}  // namespace

int names_init(Names& names)
{
#define PEF_MAKE_STRING(id, text)                                   \
    if ((names.id = PyUnicode_InternFromString(text)) == nullptr) { \
        return -1;                                                  \
    }
#define PEF_MAKE_TUPLE(id, ...)                               \
    if ((names.id = kwnames_tuple(__VA_ARGS__)) == nullptr) { \
        return -1;                                            \
    }
    PEF_STRINGS(PEF_MAKE_STRING)
    PEF_KWNAMES(PEF_MAKE_TUPLE)
#undef PEF_MAKE_STRING
#undef PEF_MAKE_TUPLE
    return 0;
}

int names_traverse(const Names& names, visitproc visit, void* arg)
{
#define PEF_VISIT(id, ...) Py_VISIT(names.id);
    PEF_STRINGS(PEF_VISIT)
    PEF_KWNAMES(PEF_VISIT)
#undef PEF_VISIT
    return 0;
}

void names_clear(Names& names)
{
#define PEF_CLEAR(id, ...) Py_CLEAR(names.id);
    PEF_STRINGS(PEF_CLEAR)
    PEF_KWNAMES(PEF_CLEAR)
#undef PEF_CLEAR
}

}  // namespace pef
