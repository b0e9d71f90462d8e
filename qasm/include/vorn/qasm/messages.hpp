// Message texts the OpenQASM 2 reader raises (ParseError::message()). The
// "{}" holes are filled in turn by fill(); the C++ and Python tests compare
// parts of them. fill() is the header-only helper every layer shares, so
// the reader still needs nothing beyond the standard library.
#pragma once

#include <concepts>
#include <string>
#include <string_view>

#include "vorn/fill.hpp"

namespace vorn::qasm::messages {

// ParseError::what(): {line}, {column}, {message}; {file}, {that or the message}
inline constexpr std::string_view kAtPlace = "line {}, column {}: {}";
inline constexpr std::string_view kInFile = "{}: {}";

// ---- the lexer ----
// {the marker comment}
inline constexpr std::string_view kBadPhaseComment = "the global-phase comment needs one finite decimal number after '{}'";
// {the sum so far}, {the value this comment adds}
inline constexpr std::string_view kPhaseSumNotFinite =
    "the global-phase comments add up to a number that is not finite ({} + {})";
inline constexpr std::string_view kUnterminatedComment = "unterminated comment: '/*' has no closing '*/'";
inline constexpr std::string_view kExponentWithoutDigits = "malformed number: exponent without digits";
inline constexpr std::string_view kUnterminatedString = "unterminated string: missing closing '\"'";
inline constexpr std::string_view kLoneEquals = "unexpected '=': comparisons are written '=='";
// {the character, as describe_char gives it}
inline constexpr std::string_view kUnexpectedCharacter = "unexpected character {}";

// ---- tokens and versions ----
// {what was expected}, {the token found}
inline constexpr std::string_view kExpected = "expected {}, found {}";
// {name}
inline constexpr std::string_view kNameCase = "'{}' cannot be declared: names start with a lowercase letter";
inline constexpr std::string_view kReservedWord = "'{}' is a reserved word and cannot be declared";
// {the integer's text}
inline constexpr std::string_view kIntegerTooLarge = "integer {} is too large";
// {version}
inline constexpr std::string_view kOpenQasm3Version = "OpenQASM {} input: only OpenQASM 2.0 is supported";
inline constexpr std::string_view kUnsupportedVersion = "unsupported OpenQASM version {}: only OpenQASM 2.0 is supported";
inline constexpr std::string_view kVersionTwice = "'OPENQASM' may appear only once, as the first statement";

// ---- registers ----
// {name}
inline constexpr std::string_view kRegisterRedeclared = "register '{}' is already declared";
// {name}, {"qubits" or "clbits"}
inline constexpr std::string_view kRegisterPastLimit = "register '{}' brings the number of {} past 2^64 - 1";
// {name}
inline constexpr std::string_view kRegisterUndeclared = "register '{}' is not declared";
// {name}, {its kind}, {the kind wanted}
inline constexpr std::string_view kRegisterKind = "'{}' is a {} register; expected a {} one";
// {index}, {register}, {size}
inline constexpr std::string_view kIndexOutOfRange = "index {} is out of range for register '{}' of size {}";
// {register}, {size}, {first register}, {its size}
inline constexpr std::string_view kBroadcastSizes =
    "register '{}' has size {} but '{}' has size {}: registers applied together must have the same size";
inline constexpr std::string_view kMeasureSizes = "register '{}' has size {} but '{}' has size {}: measure needs equal sizes";
inline constexpr std::string_view kMeasureMix = "measure takes a register to a register or a qubit to a bit, not a mix";
// {qubit as reg[i]}, {gate}
inline constexpr std::string_view kQubitTwice = "qubit {} is used twice in one application of '{}'";

// ---- includes ----
// {name}, {line of the earlier definition}
inline constexpr std::string_view kQelib1Redefines = "qelib1.inc defines '{}', which is already defined at line {}";
inline constexpr std::string_view kStdgatesInclude = "stdgates.inc belongs to OpenQASM 3; only OpenQASM 2.0 is supported";
// {the depth limit}
inline constexpr std::string_view kIncludeDepth = "includes nested more than {} deep (does a file include itself?)";
// {name}
inline constexpr std::string_view kIncludeNoPath =
    "cannot include '{}': only qelib1.inc is built in, and no include directory was given";
inline constexpr std::string_view kIncludeNotFound = "cannot find include file '{}'";
inline constexpr std::string_view kIncludeNameNul = "the include file name contains a NUL byte";
// {file}, {what is wrong: one of the file problems below}
inline constexpr std::string_view kIncludeUnreadable = "cannot include '{}': {}";
// File problems, for kIncludeUnreadable and for parse_file.
inline constexpr std::string_view kFileNotFound = "no such file";
inline constexpr std::string_view kFileIsDirectory = "it is a directory, not a file";
// {its kind: "a FIFO", "a character device", ...}
inline constexpr std::string_view kFileNotRegular = "it is {}, not a regular file";
// Kinds of file for kFileNotRegular.
inline constexpr std::string_view kKindFifo = "a FIFO";
inline constexpr std::string_view kKindCharacterDevice = "a character device";
inline constexpr std::string_view kKindBlockDevice = "a block device";
inline constexpr std::string_view kKindSocket = "a socket";
inline constexpr std::string_view kKindOther = "a special file";
// {the system's reason}
inline constexpr std::string_view kFileOpenFailed = "cannot open it: {}";
inline constexpr std::string_view kFileReadFailed = "read error: {}";

// ---- expressions ----
inline constexpr std::string_view kLnDomain = "ln of a number that is not positive";
inline constexpr std::string_view kSqrtDomain = "sqrt of a negative number";
inline constexpr std::string_view kAsinDomain = "asin of a number outside [-1, 1]";
inline constexpr std::string_view kAcosDomain = "acos of a number outside [-1, 1]";
inline constexpr std::string_view kDivisionByZero = "division by zero";
// {number text}
inline constexpr std::string_view kNumberOutOfRange = "number {} is out of range";
inline constexpr std::string_view kMalformedNumber = "malformed number {}";
// {name}
inline constexpr std::string_view kNotAParameter = "'{}' is not a parameter of this gate";
inline constexpr std::string_view kNotDefinedHere =
    "'{}' is not defined here: outside gate bodies an expression uses numbers, pi and functions";
// {the reason (a domain text above)}, {gate}, {line}, {column}
inline constexpr std::string_view kEvaluationInGate = "{} in gate '{}' (line {}, column {})";
inline constexpr std::string_view kParameterNotFinite = "parameter evaluates to a non-finite value";
// {gate}
inline constexpr std::string_view kParameterInGateNotFinite = "a parameter inside gate '{}' evaluates to a non-finite value";
// Expected-token phrases (kExpected's first hole).
inline constexpr std::string_view kWantCloseParen = "')' to close '('";
// {function}
inline constexpr std::string_view kWantFunctionOpen = "'(' after function '{}'";
inline constexpr std::string_view kWantFunctionClose = "')' to close the argument of '{}'";

// ---- gates ----
// {name}, {" (it comes with qelib1.inc ...)" or nothing}
inline constexpr std::string_view kGateUndefined = "gate '{}' is not defined{}";
inline constexpr std::string_view kComesWithQelib1 = " (it comes with qelib1.inc: add 'include \"qelib1.inc\";')";
// {name}
inline constexpr std::string_view kRegisterAsGate = "expected a gate name, found register '{}'";
// {gate}, {line}
inline constexpr std::string_view kOpaqueApplied = "cannot apply opaque gate '{}' (declared at line {}): it has no definition";
// {gate}, {opaque gate}, {its line}
inline constexpr std::string_view kOpaqueInside =
    "cannot apply gate '{}': its definition uses opaque gate '{}' (declared at line {}), which has no definition";
// {gate}, {"N qubits" / "N parameters"}, {number given}
inline constexpr std::string_view kArgumentCount = "gate '{}' takes {}, {} given";
// {the limit}, {statement or gate name}, {what it expands to, or "more than 2^64 - 1"}
inline constexpr std::string_view kTooManyInstructions =
    "the program expands to more than max_instructions = {} instructions: '{}' here expands to {} (the program "
    "already has {})";
inline constexpr std::string_view kCountPastLimit = "more than 2^64 - 1";
// {register}
inline constexpr std::string_view kIfQuantumRegister = "'{}' is a quantum register; 'if' tests a classical register";
inline constexpr std::string_view kIfOneBit = "'if' tests a whole classical register, not one bit";
// {word}
inline constexpr std::string_view kCannotCondition = "'{}' cannot be conditioned: 'if' takes a gate, measure or reset";
// {whole cycles given}
inline constexpr std::string_view kU0Cycles = "u0 takes a whole number of idle cycles, got {}";

// ---- gate definitions ----
// {parameter or argument name}
inline constexpr std::string_view kParameterTwice = "parameter '{}' is declared twice";
inline constexpr std::string_view kArgumentTwice = "qubit argument '{}' is declared twice";
inline constexpr std::string_view kArgumentIsParameter = "'{}' is already a parameter of this gate";
// {gate}, {"N parameters"}, {"N qubits"}, {"N parameters"}, {"N qubits"}
inline constexpr std::string_view kStandardSignature =
    "gate '{}' is the standard gate with {} and {}; this declaration has {} and {}";
// {gate}, {" at line L", " by qelib1.inc" or nothing}
inline constexpr std::string_view kGateRedefined = "gate '{}' is already defined{}";
inline constexpr std::string_view kAtLine = " at line {}";
inline constexpr std::string_view kByQelib1 = " by qelib1.inc";
// {gate}
inline constexpr std::string_view kUnterminatedBody = "unterminated gate body: expected '}' to close gate '{}'";
// {word}
inline constexpr std::string_view kNotInBody = "'{}' is not allowed inside a gate body";
// {gate}
inline constexpr std::string_view kRecursiveGate = "gate '{}' uses itself: recursive gate definitions are not allowed";
// {name}, {gate}
inline constexpr std::string_view kNotAnArgument = "'{}' is not a qubit argument of gate '{}'";
inline constexpr std::string_view kIndexInBody = "inside a gate body qubits are named by argument, without an index";
// {argument}, {gate}
inline constexpr std::string_view kArgumentUsedTwice = "qubit argument '{}' is used twice in one application of '{}'";
// {gate}, {the depth limit}
inline constexpr std::string_view kGateDepth = "gate '{}' nests gate definitions more than {} deep";

// ---- expected-token phrases (kExpected's first hole) ----
inline constexpr std::string_view kWantVersionNumber = "a version number after 'OPENQASM'";
inline constexpr std::string_view kWantVersionSemi = "';' after the version";
inline constexpr std::string_view kWantStatement = "a statement";
inline constexpr std::string_view kWantRegisterName = "a register name";
inline constexpr std::string_view kWantRegisterSize = "'[' and the register size";
inline constexpr std::string_view kWantSizeInteger = "the register size (an integer)";
inline constexpr std::string_view kWantCloseBracket = "']'";
inline constexpr std::string_view kWantRegisterSemi = "';' after the register declaration";
inline constexpr std::string_view kWantIncludeName = "a file name in double quotes after 'include'";
inline constexpr std::string_view kWantIncludeSemi = "';' after the include";
inline constexpr std::string_view kWantExpression = "an expression";
inline constexpr std::string_view kWantParameterList = "',' or ')' in the parameter list";
inline constexpr std::string_view kWantQuantumOperand = "a quantum register or qubit";
inline constexpr std::string_view kWantClassicalOperand = "a classical register or bit";
inline constexpr std::string_view kWantIndex = "an integer index";
inline constexpr std::string_view kWantGateSemi = "';' after the gate's qubits";
inline constexpr std::string_view kWantArrow = "'->' after the measured qubits";
inline constexpr std::string_view kWantMeasureSemi = "';' after the measurement";
inline constexpr std::string_view kWantResetSemi = "';' after reset's qubits";
inline constexpr std::string_view kWantBarrierSemi = "';' after the barrier's qubits";
inline constexpr std::string_view kWantIfOpen = "'(' after 'if'";
inline constexpr std::string_view kWantConditionRegister = "a classical register name";
inline constexpr std::string_view kWantEqEq = "'==' in the condition";
inline constexpr std::string_view kWantConditionValue = "an integer to compare with";
inline constexpr std::string_view kWantConditionClose = "')' to close the condition";
inline constexpr std::string_view kWantConditioned = "a gate, measure or reset after the condition";
inline constexpr std::string_view kWantGateName = "a gate name";
inline constexpr std::string_view kWantParameterName = "a parameter name";
inline constexpr std::string_view kWantArgumentName = "a qubit argument name";
inline constexpr std::string_view kWantOpaqueSemi = "';' after the opaque declaration";
inline constexpr std::string_view kWantBodyOpen = "'{' to open the gate body";
// {gate}
inline constexpr std::string_view kWantBodyStatement = "a gate, 'barrier' or '}' in the body of gate '{}'";
inline constexpr std::string_view kWantBodyArgument = "a qubit argument of gate '{}'";

// ---- how tokens and counts are named in messages ----
// Counted nouns ("1 qubit", "2 qubits").
inline constexpr std::string_view kWordParameter = "parameter";
inline constexpr std::string_view kWordQubit = "qubit";
inline constexpr std::string_view kWordQubits = "qubits";
inline constexpr std::string_view kWordClbits = "clbits";
inline constexpr std::string_view kWordQuantum = "quantum";
inline constexpr std::string_view kWordClassical = "classical";
inline constexpr std::string_view kEndOfInput = "end of input";
// {text}
inline constexpr std::string_view kNumberToken = "number {}";
inline constexpr std::string_view kStringToken = "string \"{}\"";
inline constexpr std::string_view kQuotedToken = "'{}'";
// {hex value}
inline constexpr std::string_view kByteToken = "byte \\x{}";

// Call it qualified (messages::fill), as the pattern helper says why.
using vorn::text::fill;

}  // namespace vorn::qasm::messages
