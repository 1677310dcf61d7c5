// kestrix._native: the file container, for the package's save and load.
//   pack_sections([(kind, bytes), ...]) -> bytes
//   unpack_sections(bytes) -> [(kind, bytes), ...]
// Both raise ValueError("container error: <Check>[ (section i)]") naming the
// check a section list or a file failed.
#include <string>
#include <vector>

#include "container.hpp"
#include "frame.hpp"
#include "native_parts.hpp"

namespace kestrix::python {
namespace {

namespace kc = kestrix::container;

PyObject* pack_sections(PyObject*, PyObject* sections) noexcept {
    return guarded(
        [&]() -> PyObject* {
            if (!PyList_Check(sections) && !PyTuple_Check(sections))
                return raise(PyExc_TypeError, "sections must be a list of (kind, bytes) tuples");
            const Py_ssize_t count = PySequence_Size(sections);
            if (count < 0) return nullptr;
            // The items are held for the whole call: the spans point into them.
            std::vector<PyRef> items;
            std::vector<kc::Section> parts;
            items.reserve(static_cast<std::size_t>(count));
            parts.reserve(static_cast<std::size_t>(count));
            for (Py_ssize_t i = 0; i < count; ++i) {
                PyRef item(PySequence_GetItem(sections, i));
                if (!item) return nullptr;
                if (!PyTuple_Check(item.get()) || PyTuple_Size(item.get()) != 2)
                    return raise(PyExc_TypeError, "each section must be a (kind, bytes) tuple");
                PyObject* kind_object = PyTuple_GetItem(item.get(), 0);
                PyObject* bytes_object = PyTuple_GetItem(item.get(), 1);
                if (kind_object == nullptr || bytes_object == nullptr) return nullptr;
                const auto kind = extract_u32(kind_object, "kind");
                if (!kind) return nullptr;
                const auto bytes = extract_bytes(bytes_object, "bytes");
                if (!bytes) return nullptr;
                // Only kinds a reader knows: this writer has no way to flag one skippable.
                if (!kc::is_known_kind(*kind))
                    return raise_container_error(
                        {kc::ContainerError::Kind::UnknownKind, static_cast<std::uint32_t>(i)});
                if (*kind == static_cast<std::uint32_t>(kc::SectionKind::Store) && i != 0)
                    return raise_container_error(
                        {kc::ContainerError::Kind::StoreNotFirst, static_cast<std::uint32_t>(i)});
                parts.push_back(kc::Section{*kind, *bytes});
                items.push_back(std::move(item));
            }
            const std::vector<std::byte> file = kc::write(parts);
            return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(file.data()),
                                             static_cast<Py_ssize_t>(file.size()));
        },
        nullptr);
}

PyObject* unpack_sections(PyObject*, PyObject* data) noexcept {
    return guarded(
        [&]() -> PyObject* {
            const auto file = extract_bytes(data, "data");
            if (!file) return nullptr;
            const auto sections = kc::read(*file);
            if (!sections) return raise_container_error(sections.error());
            PyRef list(PyList_New(static_cast<Py_ssize_t>(sections->size())));
            if (!list) return nullptr;
            for (std::size_t i = 0; i < sections->size(); ++i) {
                const kc::Section& s = (*sections)[i];
                PyRef pair(Py_BuildValue("(ky#)", static_cast<unsigned long>(s.kind),
                                         reinterpret_cast<const char*>(s.bytes.data()),
                                         static_cast<Py_ssize_t>(s.bytes.size())));
                if (!pair) return nullptr;
                PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), pair.release());
            }
            return list.release();
        },
        nullptr);
}

PyMethodDef CONTAINER_METHODS[] = {
    {"pack_sections", pack_sections, METH_O,
     "pack_sections(sections, /)\n--\n\nLay out [(kind, bytes), ...] as one file: the first section at "
     "offset 0, each next one at a page boundary, then the checksummed table and footer."},
    {"unpack_sections", unpack_sections, METH_O,
     "unpack_sections(data, /)\n--\n\nThe [(kind, bytes), ...] of a file, every check passed; bytes without a "
     "footer are one store section. ValueError names the check that failed."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject* raise_container_error(const kc::ContainerError& error) {
    return guarded([&] { return raise(PyExc_ValueError, kc::describe(error)); }, nullptr);
}

bool add_container_part(PyObject* module) noexcept { return PyModule_AddFunctions(module, CONTAINER_METHODS) == 0; }

}  // namespace kestrix::python
