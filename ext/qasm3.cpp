// OpenQASM 3 reading for vorn.qasm3: the C++ reader runs without the
// interpreter lock; its plain gates, measurements, resets and barriers become
// Instruction entries here in one pass, and the few entries that need the
// package (symbolic angles, modifiers, if/else blocks) come as tuples the
// Python side finishes.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "ext.hpp"
#include "messages.hpp"
#include "qasm_tuples.hpp"
#include "vorn/qasm/qasm3.hpp"
#include "vorn/simulator/standard_gates.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace vorn::ext {
namespace {

struct Converter {
  const qasm3::Description& d;
  PyTypeObject* cls;
  std::unordered_map<std::string, nb::object> names;

  nb::object name(const std::string& text) {
    auto [it, fresh] = names.try_emplace(text);
    if (fresh) it->second = nb::str(text.c_str(), text.size());
    return it->second;
  }

  nb::object plain(const qasm3::Instruction& ins) {
    PyObject* qubits = index_tuple(ins.qubits);
    PyObject* params = qubits ? float_tuple(ins.params) : nullptr;
    PyObject* clbits = params ? index_tuple(ins.clbits) : nullptr;
    PyObject* entry = clbits ? cls->tp_alloc(cls, 5) : nullptr;
    if (!entry) {
      Py_XDECREF(qubits);
      Py_XDECREF(params);
      Py_XDECREF(clbits);
      throw nb::python_error();
    }
    PyTuple_SET_ITEM(entry, 0, name(ins.name).release().ptr());
    PyTuple_SET_ITEM(entry, 1, qubits);
    PyTuple_SET_ITEM(entry, 2, params);
    PyTuple_SET_ITEM(entry, 3, clbits);
    PyTuple_SET_ITEM(entry, 4, Py_NewRef(Py_None));
    return nb::steal(entry);
  }

  // ("gate", name, qubits, params, terms, inverse, controls, line, column) or
  // ("if", on_register, index, value, true entries, false entries).
  nb::object special(const qasm3::Instruction& ins) {
    if (ins.kind == qasm3::Kind::IfElse) {
      const qasm3::Block& b = d.blocks[ins.block];
      return nb::make_tuple("if", b.on_register, b.index, b.value, list(b.true_body, nullptr),
                            list(b.false_body, nullptr));
    }
    nb::list terms;
    for (const qasm3::Term& t : ins.terms) terms.append(nb::make_tuple(t.slot, t.input, t.coeff));
    return nb::make_tuple("gate", name(ins.name), nb::steal(index_tuple(ins.qubits)),
                          nb::steal(float_tuple(ins.params)), terms, ins.inverse, ins.controls, ins.line, ins.column);
  }

  static bool is_special(const qasm3::Instruction& ins) {
    return ins.kind == qasm3::Kind::IfElse || ins.inverse || ins.controls != 0 || !ins.terms.empty();
  }

  nb::list list(const std::vector<qasm3::Instruction>& body, nb::list* specials) {
    nb::list out;
    for (const qasm3::Instruction& ins : body) {
      if (is_special(ins)) {
        if (specials) specials->append(out.size());
        out.append(special(ins));
      } else {
        out.append(plain(ins));
      }
    }
    return out;
  }
};

nb::list registers(const std::vector<qasm::Register>& regs) {
  nb::list out;
  for (const auto& r : regs) out.append(nb::make_tuple(r.name, r.size));
  return out;
}

// (num_qubits, global_phase, phase_terms, qregs, cregs, inputs, instructions,
//  specials, probes, warnings): `specials` indexes the entries of
// `instructions` that are tuples to finish; a probe is (definition, row,
// num_qubits, params, phase, entries, line, column); a warning (file, line,
// column, message).
nb::tuple to_python(const qasm3::Description& d, nb::handle instruction_type) {
  const GcPause pause;
  auto* cls = reinterpret_cast<PyTypeObject*>(instruction_type.ptr());
  if (!PyType_Check(instruction_type.ptr()) || !PyType_IsSubtype(cls, &PyTuple_Type))
    throw nb::type_error(messages::kInstructionType.data());
  Converter c{d, cls, {}};
  nb::list phase_terms;
  for (const qasm3::Term& t : d.phase_terms) phase_terms.append(nb::make_tuple(t.input, t.coeff));
  nb::list inputs;
  for (const std::string& s : d.inputs) inputs.append(nb::str(s.c_str(), s.size()));
  nb::list specials;
  nb::list instructions = c.list(d.instructions, &specials);
  nb::list probes;
  for (const qasm3::Probe& p : d.probes)
    probes.append(nb::make_tuple(p.definition, p.row, p.num_qubits, nb::steal(float_tuple(p.params)), p.phase,
                                 c.list(p.body, nullptr), p.line, p.column));
  nb::list warnings;
  for (const qasm3::Warning& w : d.warnings) warnings.append(nb::make_tuple(w.file, w.line, w.column, w.message));
  return nb::make_tuple(d.num_qubits, d.global_phase, phase_terms, registers(d.qregs), registers(d.cregs), inputs,
                        instructions, specials, probes, warnings);
}

qasm3::ParseOptions options_with(nb::handle include_path, std::uint64_t max_instructions, nb::handle untrusted) {
  qasm3::ParseOptions o;
  for (nb::handle dir : include_path) o.include_path.push_back(path_bytes(dir));
  o.max_instructions = max_instructions;
  for (nb::handle name : untrusted) o.untrusted.push_back(nb::cast<std::string>(name));
  // A definition named like a row, with its signature, may be read as the row.
  for (const sim::StandardGate& g : sim::standard_gates())
    o.table_gates.push_back(qasm3::TableGate{std::string(g.name), std::string(g.name), g.n_params, g.n_qubits});
  o.table_gates.push_back(qasm3::TableGate{"mcphase", "mcp", 1, 0});  // Qiskit's name of mcp
  return o;
}

nb::tuple parse_text(nb::str text, nb::handle include_path, std::uint64_t max_instructions, nb::handle untrusted,
                     nb::handle instruction_type) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
  if (!utf8) throw nb::python_error();
  const qasm3::ParseOptions options = options_with(include_path, max_instructions, untrusted);
  qasm3::Description d;
  {
    nb::gil_scoped_release unlocked;  // `text` keeps the buffer alive
    d = qasm3::parse(std::string_view(utf8, static_cast<std::size_t>(size)), options);
  }
  return to_python(d, instruction_type);
}

nb::tuple parse_path(nb::handle path, nb::handle include_path, std::uint64_t max_instructions, nb::handle untrusted,
                     nb::handle instruction_type) {
  const std::string file = path_bytes(path);
  qasm3::ParseOptions options = options_with(include_path, max_instructions, untrusted);
  qasm3::Description d;
  {
    nb::gil_scoped_release unlocked;
    d = qasm3::parse_file(file, std::move(options));
  }
  return to_python(d, instruction_type);
}

}  // namespace

void register_qasm3(nb::module_& m) {
  m.def("qasm3_parse", &parse_text, "text"_a, "include_path"_a, "max_instructions"_a, "untrusted"_a,
        "instruction_type"_a,
        "Reads OpenQASM 3 text into (num_qubits, global_phase, phase_terms, qregs, cregs, inputs, instructions, "
        "specials, probes, warnings); errors raise Qasm2ParseError's class with the place.");
  m.def("qasm3_parse_file", &parse_path, "path"_a, "include_path"_a, "max_instructions"_a, "untrusted"_a,
        "instruction_type"_a, "Reads an OpenQASM 3 file; its directory is searched for includes. Paths are bytes.");
}

}  // namespace vorn::ext
