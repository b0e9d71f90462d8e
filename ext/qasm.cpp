// OpenQASM 2 reading for vorn.qasm2: the C++ reader runs without the
// interpreter lock, then its description becomes the circuit's instruction
// entries in one pass (gate names are shared str objects, not one per entry).
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <map>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "ext.hpp"
#include "messages.hpp"
#include "qasm_tuples.hpp"
#include "vorn/qasm/qasm2.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace vorn::ext {

void register_qasm3(nb::module_& m);  // qasm3.cpp

namespace {

PyObject* g_parse_error = nullptr;  // vorn._ext.Qasm2ParseError, a ValueError

nb::list registers(const std::vector<qasm::Register>& regs) {
  nb::list out;
  for (const auto& r : regs) out.append(nb::make_tuple(r.name, r.size));
  return out;
}

// Builds instances of `instruction_type` (vorn.circuit.Instruction: a tuple
// subclass with fields name, qubits, params, clbits, matrix) the way
// tuple.__new__(cls, items) does, without a Python-level call per entry.
//
// Returns (num_qubits, global_phase, qregs, cregs, instructions, conditions):
// a conditioned statement's entries are in `instructions` as the entries it
// runs, and `conditions` holds (first entry, entry count, creg index, value)
// per conditioned statement, in order.
nb::tuple to_python(const qasm::Description& d, nb::handle instruction_type) {
  const GcPause pause;
  auto* cls = reinterpret_cast<PyTypeObject*>(instruction_type.ptr());
  if (!PyType_Check(instruction_type.ptr()) || !PyType_IsSubtype(cls, &PyTuple_Type))
    throw nb::type_error(messages::kInstructionType.data());
  std::unordered_map<std::string, nb::object> names;
  // Operand tuples shared between entries on the same qubits (as Circuit
  // shares them), up to a bound so that all-different operands cost no table.
  constexpr std::size_t kSharedOperands = std::size_t{1} << 16;
  std::map<std::vector<std::uint64_t>, nb::object> operands;
  nb::list list;
  nb::list conditions;
  // The entries of one statement share its place: consecutive conditioned
  // entries from one statement are one condition, read once.
  const qasm::Instruction* statement = nullptr;
  std::size_t first = 0;
  auto close_statement = [&](std::size_t end) {
    if (statement != nullptr) {
      conditions.append(nb::make_tuple(first, end - first, statement->condition_creg, statement->condition_value));
    }
    statement = nullptr;
  };
  for (const qasm::Instruction& ins : d.instructions) {
    const std::size_t index = list.size();
    if (ins.kind != qasm::Kind::Conditional) {
      close_statement(index);
    } else if (statement == nullptr || statement->line != ins.line || statement->column != ins.column) {
      close_statement(index);
      statement = &ins;
      first = index;
    }
    auto [it, fresh] = names.try_emplace(ins.name);
    if (fresh) it->second = nb::str(ins.name.c_str(), ins.name.size());
    PyObject* qubits = nullptr;
    if (const auto shared = operands.find(ins.qubits); shared != operands.end()) {
      qubits = shared->second.inc_ref().ptr();
    } else {
      qubits = index_tuple(ins.qubits);
      if (qubits && operands.size() < kSharedOperands) operands.emplace(ins.qubits, nb::borrow(qubits));
    }
    PyObject* params = qubits ? float_tuple(ins.params) : nullptr;
    PyObject* clbits = params ? index_tuple(ins.clbits) : nullptr;
    PyObject* entry = clbits ? cls->tp_alloc(cls, 5) : nullptr;
    if (!entry) {
      Py_XDECREF(qubits);
      Py_XDECREF(params);
      Py_XDECREF(clbits);
      throw nb::python_error();
    }
    PyTuple_SET_ITEM(entry, 0, it->second.inc_ref().ptr());
    PyTuple_SET_ITEM(entry, 1, qubits);
    PyTuple_SET_ITEM(entry, 2, params);
    PyTuple_SET_ITEM(entry, 3, clbits);
    PyTuple_SET_ITEM(entry, 4, Py_NewRef(Py_None));
    list.append(nb::steal(entry));
  }
  close_statement(list.size());
  return nb::make_tuple(d.num_qubits, d.global_phase, registers(d.qregs), registers(d.cregs), list, conditions);
}

qasm::ParseOptions options_with(nb::handle include_path, std::uint64_t max_instructions) {
  qasm::ParseOptions o;
  for (nb::handle dir : include_path) o.include_path.push_back(path_bytes(dir));
  o.max_instructions = max_instructions;
  return o;
}

// The text as UTF-8 without a copy; a str with a lone surrogate has none and
// raises UnicodeEncodeError, which the Python side turns into a QASM2Error.
nb::tuple parse_text(nb::str text, nb::handle include_path, std::uint64_t max_instructions,
                     nb::handle instruction_type) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
  if (!utf8) throw nb::python_error();
  const qasm::ParseOptions options = options_with(include_path, max_instructions);
  qasm::Description d;
  {
    nb::gil_scoped_release unlocked;  // `text` keeps the buffer alive
    d = qasm::parse(std::string_view(utf8, static_cast<std::size_t>(size)), options);
  }
  return to_python(d, instruction_type);
}

nb::tuple parse_path(nb::handle path, nb::handle include_path, std::uint64_t max_instructions,
                     nb::handle instruction_type) {
  const std::string file = path_bytes(path);
  qasm::ParseOptions options = options_with(include_path, max_instructions);
  qasm::Description d;
  {
    nb::gil_scoped_release unlocked;
    d = qasm::parse_file(file, std::move(options));
  }
  return to_python(d, instruction_type);
}

// Message texts may quote any bytes of the input (a NUL, invalid UTF-8 from
// a file): they keep every byte, undecodable ones as backslash escapes.
// File names decode as os.fsdecode does, so they name the file exactly.
nb::object message_text(const std::string& text) {
  return nb::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "backslashreplace"));
}

}  // namespace

void register_qasm(nb::module_& m) {
  g_parse_error = PyErr_NewExceptionWithDoc(
      "vorn._ext.Qasm2ParseError",
      "Malformed OpenQASM 2: args are (message with place, message, line, column, file).", PyExc_ValueError,
      nullptr);
  m.attr("Qasm2ParseError") = nb::borrow(g_parse_error);
  nb::register_exception_translator([](const std::exception_ptr& p, void*) {
    try {
      std::rethrow_exception(p);
    } catch (const qasm::ParseError& e) {
      nb::object file = nb::steal(
          PyUnicode_DecodeFSDefaultAndSize(e.file().data(), static_cast<Py_ssize_t>(e.file().size())));
      nb::object args = nb::make_tuple(message_text(e.full_text()), message_text(e.message()), e.line(), e.column(),
                                       file);
      PyErr_SetObject(g_parse_error, args.ptr());
    }
  });
  m.def("qasm2_parse", &parse_text, "text"_a, "include_path"_a, "max_instructions"_a, "instruction_type"_a,
        "Reads OpenQASM 2 text into (num_qubits, global_phase, qregs, cregs, instructions, conditions).");
  m.def("qasm2_parse_file", &parse_path, "path"_a, "include_path"_a, "max_instructions"_a, "instruction_type"_a,
        "Reads an OpenQASM 2 file; its directory is searched for includes after include_path. Paths are bytes.");
  nb::list names;
  for (std::string_view name : qasm::known_gate_names()) names.append(nb::str(name.data(), name.size()));
  m.attr("QASM2_GATE_NAMES") = nb::steal(PyFrozenSet_New(names.ptr()));
  register_qasm3(m);  // the OpenQASM 3 reader raises the same ParseError, translated above
}

}  // namespace vorn::ext
