// Message texts the OpenQASM 3 reader raises (ParseError::message()) and
// warns with. The "{}" holes are filled in turn by fill(); the tests compare
// parts of them.
#pragma once

#include <string_view>

#include "vorn/fill.hpp"

namespace vorn::qasm3::messages {

// ---- the lexer ----
inline constexpr std::string_view kUnterminatedComment = "unterminated comment: '/*' has no closing '*/'";
inline constexpr std::string_view kExponentWithoutDigits = "malformed number: exponent without digits";
inline constexpr std::string_view kUnterminatedString = "unterminated string: missing its closing quote";
inline constexpr std::string_view kDollarWithoutDigits = "'$' must be followed by a physical qubit number";
// {the character}
inline constexpr std::string_view kUnexpectedCharacter = "unexpected character {}";
// {number text}
inline constexpr std::string_view kMalformedNumber = "malformed number {}";
inline constexpr std::string_view kNumberOutOfRange = "number {} is out of range";
inline constexpr std::string_view kIntegerTooLarge = "integer {} is too large";

// ---- tokens ----
// {what was expected}, {the token found}
inline constexpr std::string_view kExpected = "expected {}, found {}";
inline constexpr std::string_view kEndOfInput = "end of input";
inline constexpr std::string_view kNumberToken = "number {}";
inline constexpr std::string_view kStringToken = "string \"{}\"";
inline constexpr std::string_view kQuotedToken = "'{}'";
inline constexpr std::string_view kByteToken = "byte \\x{}";

// ---- refusals: "{what} is not supported: {why}" ----
inline constexpr std::string_view kUnsupported = "{} is not supported: {}";
inline constexpr std::string_view kWhyLater = "vorn circuits do not hold it yet";
inline constexpr std::string_view kWhyLoops = "vorn circuits have no loops yet, so a loop must run a known number of times";
inline constexpr std::string_view kWhyEnd = "a program ends at the end of its text";
inline constexpr std::string_view kWhyExtern = "vorn runs no external classical code";
inline constexpr std::string_view kWhyOpaque = "an opaque gate has no definition to run";
inline constexpr std::string_view kWhyComplex = "angles and classical values are real";
inline constexpr std::string_view kWhyAffine =
    "an angle may depend on inputs only through sums and multiples by numbers (as vorn.Parameter does)";
inline constexpr std::string_view kWhyBitValue = "bits hold measurement results only";
inline constexpr std::string_view kWhyComparison =
    "a condition on measured bits is a bit, !bit, bit == 0/1 or register == integer";
inline constexpr std::string_view kWhyRegisterCondition = "compare the register with an integer (c == 3)";
inline constexpr std::string_view kWhyInputCondition = "inputs are free parameters, with no value to test";
inline constexpr std::string_view kWhyModifierOfInput = "the count must be known when the program is read";
inline constexpr std::string_view kWhyPower = "only integer powers of a gate are applied";
inline constexpr std::string_view kWhyOutput = "only bit outputs (the circuit's registers) are kept";
inline constexpr std::string_view kWhyInputType = "only float and angle inputs become parameters";
inline constexpr std::string_view kWhyHardwareQubits = "declare the qubits with 'qubit[n] q;'";
inline constexpr std::string_view kWhyMeasureNoTarget = "store the result in a bit: 'c[0] = measure q[0];'";
inline constexpr std::string_view kWhyNoQubits = "the circuit has no qubit to carry it";
inline constexpr std::string_view kWhatBitsUnderCondition = "declaring bits inside a block conditioned on measured bits";
inline constexpr std::string_view kWhatMeasuredValue = "a measured value used as a number";
inline constexpr std::string_view kWhatBitValue = "assigning a value to a bit";
inline constexpr std::string_view kWhatMeasureIntoVariable = "measuring into a classical variable";
inline constexpr std::string_view kWhatMeasureInExpression = "'measure' inside an expression";
inline constexpr std::string_view kWhatMeasureNoTarget = "'measure' without a target bit";
inline constexpr std::string_view kWhatAssignUnderCondition =
    "assigning a classical variable inside a block conditioned on measured bits";
inline constexpr std::string_view kWhatConditionalPhase = "a global phase under a condition";
inline constexpr std::string_view kWhatComparison = "this comparison of measured bits";
inline constexpr std::string_view kWhatRegisterNotEqual = "'!=' on a measured register";
inline constexpr std::string_view kWhatRegisterCondition = "a whole register as a condition";
inline constexpr std::string_view kWhatInputCondition = "a condition on an input parameter";
inline constexpr std::string_view kWhatWhileOnMeasured = "a 'while' loop on measured bits";
inline constexpr std::string_view kWhatSwitchOnMeasured = "'switch' on measured bits";
inline constexpr std::string_view kWhatReturnOnMeasured = "'return' inside a block conditioned on measured bits";
inline constexpr std::string_view kWhatLoopOverBits = "a loop over a bit register";
inline constexpr std::string_view kWhatLoopOverMeasured = "a loop over measured values";
inline constexpr std::string_view kWhatBitSlice = "a slice of a bit register in an expression";
inline constexpr std::string_view kWhatOutput = "a non-bit output";
inline constexpr std::string_view kWhatInputType = "this input type";
inline constexpr std::string_view kWhatHardwareQubits = "physical qubits ($n)";
// {"break" or "continue"}
inline constexpr std::string_view kWhatJumpOnMeasured = "'{}' inside a block conditioned on measured bits";
// {function}
inline constexpr std::string_view kWhatFunction = "function '{}'";
inline constexpr std::string_view kWhatFunctionOfInput = "'{}' of an input parameter";
// {operator}
inline constexpr std::string_view kWhatOperatorOfInput = "'{}' on an input parameter";
// {modifier}
inline constexpr std::string_view kWhatModifierOfInput = "'{}' with an input parameter as its count";
// {the power}
inline constexpr std::string_view kWhatPower = "pow({}) @";
// {what}
inline constexpr std::string_view kWhatSubArgument = "a subroutine argument of type '{}'";

// ---- version and includes ----
inline constexpr std::string_view kVersion2 = "OpenQASM {} input: read it with vorn.qasm2";
inline constexpr std::string_view kVersionUnsupported = "unsupported OpenQASM version {}: only 3.x is read";
inline constexpr std::string_view kVersionNotFirst = "'OPENQASM' may appear only once, as the first statement";
inline constexpr std::string_view kIncludeNotGlobal = "'include' may appear only at the top level";
inline constexpr std::string_view kIncludeNameNul = "the include file name contains a NUL byte";
inline constexpr std::string_view kQelib1In3 = "qelib1.inc belongs to OpenQASM 2: include \"stdgates.inc\"";
// {gate}, {line}
inline constexpr std::string_view kStdgatesRedefines = "stdgates.inc defines '{}', which is already declared at line {}";
// {depth limit}
inline constexpr std::string_view kIncludeDepth = "includes nested more than {} deep (does a file include itself?)";
// {name}
inline constexpr std::string_view kIncludeNoPath =
    "cannot include '{}': only stdgates.inc is built in, and no include directory was given";
inline constexpr std::string_view kIncludeNotFound = "cannot find include file '{}'";
// {file}, {problem}
inline constexpr std::string_view kIncludeUnreadable = "cannot include '{}': {}";

// ---- names and declarations ----
inline constexpr std::string_view kReservedWord = "'{}' is a reserved word and cannot be declared";
// {name}, {line}
inline constexpr std::string_view kRedeclared = "'{}' is already declared in this scope (at line {})";
inline constexpr std::string_view kRedeclaredBuiltin = "'{}' is a built-in gate and cannot be declared";
// {name}
inline constexpr std::string_view kUndefined = "'{}' is not defined";
inline constexpr std::string_view kComesWithStdgates =
    "gate '{}' is not defined (it comes with stdgates.inc: add 'include \"stdgates.inc\";')";
inline constexpr std::string_view kQuantumStatement = "'{}' is a qubit register; a statement cannot start with it";
inline constexpr std::string_view kQubitNotGlobal = "qubits may be declared only at the top level";
inline constexpr std::string_view kGateNotGlobal = "gates may be defined only at the top level";
inline constexpr std::string_view kDefNotGlobal = "subroutines may be defined only at the top level";
// {"input" or "output"}
inline constexpr std::string_view kIoNotGlobal = "'{}' may appear only at the top level";
// {name}, {"qubits" or "clbits"}
inline constexpr std::string_view kRegisterPastLimit = "register '{}' brings the number of {} past 2^64 - 1";
inline constexpr std::string_view kSizeNotInteger = "a size must be a non-negative integer";
// {width}
inline constexpr std::string_view kWidth = "a width of {} bits: widths are 1 to 64";
inline constexpr std::string_view kConstNotConstant = "a const needs a value known when the program is read";
inline constexpr std::string_view kConstFromInput = "a const cannot depend on an input parameter";
inline constexpr std::string_view kInputNotBool = "an input parameter has no truth value";
inline constexpr std::string_view kInputNotInteger = "an input parameter is not an integer";
// {value}
inline constexpr std::string_view kFloatToInt = "{} does not fit an integer";
// {name}
inline constexpr std::string_view kAssignInput = "'{}' is an input and cannot be assigned";
inline constexpr std::string_view kAssignConst = "'{}' is a const and cannot be assigned";

// ---- gates ----
// {name}
inline constexpr std::string_view kParameterTwice = "parameter '{}' is declared twice";
inline constexpr std::string_view kArgumentTwice = "'{}' is declared twice in this definition";
inline constexpr std::string_view kUnclosedGate = "unterminated gate body: expected '}' to close gate '{}'";
inline constexpr std::string_view kNotInGateBody = "'{}' is not allowed inside a gate body";
inline constexpr std::string_view kNotAGate = "'{}' is not a gate";
// {gate}, {"N qubits"}, {given}
inline constexpr std::string_view kArgumentCount = "gate '{}' takes {}, {} given";
// {size}, {first size}
inline constexpr std::string_view kBroadcastSizes =
    "a register of size {} applied with one of size {}: registers applied together must have the same size";
// {gate}
inline constexpr std::string_view kQubitTwice = "a qubit is used twice in one application of '{}'";
// {modifier}
inline constexpr std::string_view kModifierNotInteger = "the argument of '{}' must be an integer";
// {count}
inline constexpr std::string_view kControlCount = "a control count must be at least 1, got {}";
// {gate}
inline constexpr std::string_view kAngleNotFinite = "an angle of '{}' is not finite";
// {the phase so far}
inline constexpr std::string_view kPhaseNotFinite = "the global phase ({} so far) is no longer finite";

// ---- operands ----
// {name}
inline constexpr std::string_view kNotQubits = "'{}' is not a qubit or qubit register";
inline constexpr std::string_view kNotBits = "'{}' is not a bit or bit register";
inline constexpr std::string_view kIndexOfSingle = "'{}' is a single qubit or bit and cannot be indexed";
inline constexpr std::string_view kQubitsInExpression = "'{}' names qubits, which have no classical value";
inline constexpr std::string_view kGateInExpression = "'{}' is a gate, not a value";
// {index}, {register}, {size}
inline constexpr std::string_view kIndexOutOfRange = "index {} is out of range for '{}' of size {}";
inline constexpr std::string_view kIndexNotInteger = "an index must be an integer";
inline constexpr std::string_view kZeroStep = "a range step must be a non-zero finite number";
inline constexpr std::string_view kNotIndexable = "only registers and integers can be indexed";
// {qubits}, {bits}
inline constexpr std::string_view kMeasureSizes = "measure of {} qubits into {} bits: the sizes must match";

// ---- control flow ----
inline constexpr std::string_view kElseWithoutIf = "'else' without an 'if' before it";
inline constexpr std::string_view kUnclosedBlock = "unterminated block: expected '}' to close it";
inline constexpr std::string_view kConditionNotBool = "a duration is not a condition";
inline constexpr std::string_view kJumpUnderCondition =
    "'break', 'continue' or 'return' inside a block conditioned on measured bits";
// {"break" or "continue"}
inline constexpr std::string_view kJumpOutsideLoop = "'{}' outside a loop";
// {name}
inline constexpr std::string_view kNotIterable = "'{}' cannot be looped over: give a range [a:b] or a set {a, b}";
inline constexpr std::string_view kSwitchNotInteger = "switch and case values must be integers";
inline constexpr std::string_view kCaseAfterDefault = "'case' after 'default'";
inline constexpr std::string_view kDefaultTwice = "a second 'default'";

// ---- subroutines ----
inline constexpr std::string_view kReturnOutsideSub = "'return' outside a subroutine";
// {name}
inline constexpr std::string_view kUnclosedSub = "unterminated subroutine body: expected '}' to close '{}'";
inline constexpr std::string_view kNoReturn = "subroutine '{}' ends without returning its value";
// {sub}, {params}, {given}
inline constexpr std::string_view kSubArgumentCount = "subroutine '{}' takes {} arguments, {} given";
// {parameter}, {sub}
inline constexpr std::string_view kSubQubitArgument = "argument '{}' of subroutine '{}' takes qubits of another size";

// ---- expressions ----
inline constexpr std::string_view kDivisionByZero = "division by zero";
inline constexpr std::string_view kIntegerOverflow = "integer overflow";
// {shift}
inline constexpr std::string_view kShift = "a shift by {} bits: shifts are 0 to 63";
// {operator}
inline constexpr std::string_view kOperandNotInteger = "'{}' takes integers";
inline constexpr std::string_view kOperandNotNumber = "'{}' takes numbers";
// {function}, {argument}
inline constexpr std::string_view kDomain = "{} of {} has no real value";
// {function}, {wanted}, {given}
inline constexpr std::string_view kFunctionArity = "'{}' takes {} arguments, {} given";
// {text}
inline constexpr std::string_view kBadBitString = "\"{}\" is not a bit string of at most 64 bits";

// ---- limits ----
// {limit}
inline constexpr std::string_view kTooDeep = "nested more than {} deep (blocks, calls or expressions)";
inline constexpr std::string_view kTooManyInstructions = "the program expands to more than max_instructions = {} instructions";
inline constexpr std::string_view kTooManySteps =
    "reading the program takes more than max_instructions = {} steps (statements, gate applications, loop "
    "iterations)";

// ---- warnings ----
inline constexpr std::string_view kTimingIgnored = "timing is ignored: vorn circuits have no durations";
inline constexpr std::string_view kDelayIgnored = "'delay' is ignored: vorn circuits have no durations";
inline constexpr std::string_view kBoxIgnored = "'box' is read as its contents: vorn circuits have no durations";
// {"defcal", "cal" or "defcalgrammar"}
inline constexpr std::string_view kCalibrationIgnored = "'{}' is ignored: vorn runs gates, not pulses";
inline constexpr std::string_view kPragmaIgnored = "'#pragma' is ignored";
inline constexpr std::string_view kAnnotationIgnored = "an annotation is ignored";

// ---- expected-token phrases (kExpected's first hole) ----
inline constexpr std::string_view kWantVersion = "a version number after 'OPENQASM'";
inline constexpr std::string_view kWantSemi = "';'";
inline constexpr std::string_view kWantStatement = "a statement";
inline constexpr std::string_view kWantIncludeName = "a quoted file name after 'include'";
inline constexpr std::string_view kWantBlock = "'{'";
inline constexpr std::string_view kWantSize = "'[' and a size";
inline constexpr std::string_view kWantCloseBracket = "']'";
inline constexpr std::string_view kWantCloseBrace = "'}'";
inline constexpr std::string_view kWantCloseParen = "')'";
inline constexpr std::string_view kWantRegisterName = "a register name";
inline constexpr std::string_view kWantVariableName = "a variable name";
inline constexpr std::string_view kWantType = "a type (int, uint, float, angle, bool, bit)";
inline constexpr std::string_view kWantConstValue = "'=' and the const's value";
inline constexpr std::string_view kWantGateName = "a gate name";
inline constexpr std::string_view kWantParameterName = "a parameter name";
inline constexpr std::string_view kWantParameterOpen = "'(' before the parameters";
inline constexpr std::string_view kWantParameterClose = "')' to close the parameters";
inline constexpr std::string_view kWantArgumentName = "a qubit argument name";
inline constexpr std::string_view kWantBodyOpen = "'{' to open the body";
inline constexpr std::string_view kWantGateStatement = "a gate, 'gphase', 'barrier' or '}' in a gate body";
inline constexpr std::string_view kWantModifierArgument = "'('";
inline constexpr std::string_view kWantAt = "'@' after the modifier";
inline constexpr std::string_view kWantQubit = "a qubit or qubit register";
inline constexpr std::string_view kWantBit = "a bit or bit register";
inline constexpr std::string_view kWantArrow = "'->' and the target bits";
inline constexpr std::string_view kWantAssign = "'=' or a compound assignment";
inline constexpr std::string_view kWantConditionOpen = "'(' before the condition";
inline constexpr std::string_view kWantConditionClose = "')' after the condition";
inline constexpr std::string_view kWantLoopVariable = "a loop variable";
inline constexpr std::string_view kWantIn = "'in'";
inline constexpr std::string_view kWantRangeColon = "':' in the range";
inline constexpr std::string_view kWantIterable = "a range [a:b], a set {a, b} or a name";
inline constexpr std::string_view kWantCase = "'case', 'default' or '}'";
inline constexpr std::string_view kWantSubName = "a subroutine name";
inline constexpr std::string_view kWantArgumentsOpen = "'(' and the arguments";
inline constexpr std::string_view kWantArgumentsClose = "')' to close the arguments";
inline constexpr std::string_view kWantDuration = "'[' and a duration";
inline constexpr std::string_view kWantGrammar = "a quoted grammar name";
inline constexpr std::string_view kWantExpression = "an expression";
inline constexpr std::string_view kWantCastOpen = "'(' after the type";

using vorn::text::fill;

}  // namespace vorn::qasm3::messages
