// The texts the Python module shows: docstrings in the interpreter's
// internal "name(sig)\n--\n\ndoc" form, its own error messages and report
// formats. (Argument-count errors are put together in boundary.cpp in the
// interpreter's wording; core and simulator texts live in their headers.)
#pragma once

namespace vorn::py::text {

// Class documentation (class name + text signature + separator + doc).
inline constexpr const char* kCircuitDoc =
    "Circuit(n_qubits)\n--\n\nPython에서 사용 가능한 양자 회로 클래스.";
// No text signature: the interpreter only recognises one that starts "Name(".
inline constexpr const char* kSimulationResultDoc = "Python에서 사용 가능한 시뮬레이션 결과 클래스.";
inline constexpr const char* kSliceContainerDoc =
    "NumPy 배열이 가리키는 버퍼를 소유하고, 마지막 참조가 사라질 때 해제한다.";

inline constexpr const char* kNumQubitsDoc = "num_qubits($self)\n--\n\n";
inline constexpr const char* kMeasureDoc = "measure($self, qubit, cbit)\n--\n\n";
inline constexpr const char* kMeasureAllDoc = "measure_all($self)\n--\n\n";

inline constexpr const char* kCountsDoc = "counts($self)\n--\n\n측정 결과 counts를 dict로 반환한다.";
inline constexpr const char* kStatevectorDoc =
    "statevector($self)\n--\n\n측정 전 상태 벡터를 numpy complex128 배열로 반환한다.";
inline constexpr const char* kProbabilitiesDoc =
    "probabilities($self)\n--\n\n확률 벡터를 numpy float64 배열로 반환한다.";

// A fixed text: callers compare it. Its "rayon" names the pool the module
// has always described; the pool is oneTBB's (core/src/parallel.cpp), sized
// by RAYON_NUM_THREADS, the variable name callers rely on.
inline constexpr const char* kRunDoc =
    "run(circuit, shots=1024, seed=None)\n--\n\n회로 실행 함수.\n\n"
    "rayon 병렬 게이트 적용이 GIL 을 들고 있으면 Python 멀티스레드 환경에서\n"
    "다른 스레드가 막히므로, 시뮬레이션 동안 GIL 을 해제한다.";

inline constexpr const char* kPanicExceptionDoc =
    "A fatal error inside vorn_python: a misused circuit (qubit index out of\n"
    "range, zero qubits, a register too large) or a broken internal invariant.\n\n"
    "It derives from BaseException, not Exception, so that `except Exception`\n"
    "does not swallow it and it propagates to the top of the program.";

inline constexpr const char* kAlreadyBorrowed = "Already borrowed";
inline constexpr const char* kAlreadyMutablyBorrowed = "Already mutably borrowed";
inline constexpr const char* kNoConstructor = "No constructor defined for ";
inline constexpr const char* kTypeCreationFailed = "failed to create type object for ";
inline constexpr const char* kSubInterpreter =
    "vorn_python does not support sub-interpreters: import it in the main interpreter only";
inline constexpr const char* kUncaughtPanic = "uncaught panic at ffi boundary";
inline constexpr const char* kNumpyCapsule = "Failed to access NumPy array API capsule";
// Follow kNumpyCapsule when the table is not one whose slots the module knows.
inline constexpr const char* kNumpyNoAbiVersion = ": the table has no C ABI version entry";
inline constexpr const char* kNumpyUnknownAbi =
    ": NumPy's C ABI is not one this module knows (1.x: 0x01000009, 2.x: 0x02000000), it reports ";
inline constexpr const char* kNumpyOldFeatureVersion =
    ": NumPy is older than 1.7 (C API feature version 0x00000007), it reports ";
inline constexpr const char* kSliceContainer = "Failed to create slice container";
inline constexpr const char* kPythonApiFailed = "Python API call failed";
inline constexpr const char* kAllocationFailed = "out of memory: memory allocation failed";
inline constexpr const char* kAllNotAList = "__all__ must be a list";
inline constexpr const char* kPanicTypeFailed = "PanicException could not be created";
inline constexpr const char* kPanicMessageFailed = "panic message could not be converted";

// Argument errors, in the interpreter's own wording. The call's "name()"
// goes before the first two, the parameter name and "'" after them.
inline constexpr const char* kKeywordsMustBeStrings = "keywords must be strings";
inline constexpr const char* kMultipleValues = " got multiple values for argument '";
inline constexpr const char* kUnexpectedKeyword = " got an unexpected keyword argument '";
// PyErr_Format pattern: the object's type qualname, the class name.
inline constexpr const char* kCannotConvertFormat = "'%U' object cannot be converted to '%s'";
// PyUnicode_FromFormat pattern: the parameter name, the original message.
inline constexpr const char* kArgumentErrorFormat = "argument '%.*s': %U";

// Reports on standard error. A fatal error: thread name, file, line, column,
// message. Any other exception reaching the boundary: thread name, what().
inline constexpr const char* kPanicReportFormat = "thread '%s' panicked at %s:%u:%u:\n%s\n";
inline constexpr const char* kForeignPanicReportFormat = "thread '%s' panicked:\n%s\n";

}  // namespace vorn::py::text
