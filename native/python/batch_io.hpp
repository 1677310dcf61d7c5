// Batches in and out of the package's native module: float matrices and id
// lists read where they lie (NumPy arrays through their array interface, with
// any strides; lists and tuples item by item), and results handed back as
// NumPy arrays when NumPy can be imported, lists otherwise.
#pragma once

#include "frame.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "quantized.hpp"

namespace kestrix::python {

// Rows of `dim` components quantised as Kestrix.insert quantises one vector.
// `single` when the argument was one vector (1-D), not a batch of them.
struct QuantizedRows {
    std::size_t dim = DIMENSION;
    std::size_t count = 0;
    std::vector<std::uint64_t> codes;  // code_words(dim) words a row
    std::vector<float> floats;         // the rows' floats, dim a row, when asked for
    bool single = false;

    CodeRows rows() const noexcept { return {codes.data(), dim, count}; }
};

// Accepts an (n, dim) float16/float32/float64 ndarray, a 1-D ndarray of dim
// floats, a sequence of dim-float sequences, or one such sequence. Refuses,
// naming `name`: other dtypes and non-sequences (TypeError), other shapes
// (ValueError naming both lengths, as "vectors must have 768 columns, got
// shape (2, 384)") and rows holding a NaN or an infinity (ValueError).
// With keep_floats, the rows' single-precision values are kept as well.
std::optional<QuantizedRows> read_float_rows(PyObject* object, const char* name, std::size_t dim,
                                             bool keep_floats = false);

// The `dim` argument of a collection: an int in 1..4096 (TypeError, or
// ValueError "dim must lie in 1..4096, got <value>"); 384 when not given.
std::optional<std::size_t> read_dimension(PyObject* object);

struct DocumentIds {
    std::vector<std::uint64_t> ids;
    bool single = false;
};

// One integer, a 1-D integer ndarray, or a sequence of integers, each in
// 0..max (ValueError outside it, TypeError for non-integers).
std::optional<DocumentIds> read_ids(PyObject* object, const char* name, std::uint64_t max);

// What a batch of ids and rows is checked against.
struct BatchRules {
    std::uint64_t max_id;         // ids lie in 0..max_id
    std::size_t dim = DIMENSION;  // components a row
    bool unique_ids = false;      // no id twice in the batch
    bool keep_floats = false;     // keep the rows' floats as well
};

struct Batch {
    DocumentIds ids;
    QuantizedRows rows;
};

// The package's one check of a batch, whole before anything is used: the ids
// ("ids", read_ids), the rows ("vectors", read_float_rows), as many of one as
// of the other, and with unique_ids no id twice.
std::optional<Batch> read_batch(PyObject* ids, PyObject* vectors, const BatchRules& rules);

// ValueError "ids holds <id> more than once (again at row <row>)"; nullptr.
PyObject* raise_repeated_id(std::uint64_t id, std::size_t row) noexcept;

// Results: NumPy arrays of the given shape when NumPy is importable, nested
// lists otherwise. `cols` is ignored for the one-dimensional int64 vector.
PyObject* int64_matrix(std::span<const std::int64_t> values, std::size_t rows, std::size_t cols) noexcept;
PyObject* float32_matrix(std::span<const float> values, std::size_t rows, std::size_t cols) noexcept;
PyObject* int16_matrix(std::span<const std::int16_t> values, std::size_t rows, std::size_t cols) noexcept;
PyObject* int64_vector(std::span<const std::int64_t> values) noexcept;
// (n, 8 x words) uint8 codes, or a list of bytes objects of that length
// without NumPy, from n codes of `words` words.
PyObject* code_matrix(std::span<const std::uint64_t> codes, std::size_t words) noexcept;

// Takes the interpreter lock back for a thread that released it; once the
// interpreter exits, never returns to any thread but the one that ends it
// (interpreter_exit.cpp says why).
void reacquire_interpreter(PyThreadState* state) noexcept;

// Runs `body` with the interpreter lock released and takes it back on every
// path, exceptions included.
template <class Body>
auto without_interpreter(Body&& body) -> decltype(body()) {
    struct Reacquire {
        PyThreadState* state;
        ~Reacquire() { reacquire_interpreter(state); }
    } reacquire{PyEval_SaveThread()};
    return body();
}

}  // namespace kestrix::python
