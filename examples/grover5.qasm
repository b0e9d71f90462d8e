// Grover search over 5 qubits for two marked strings, 10110 and 01011
// (q[4] leftmost, as in counts keys). With 2 of 32 strings marked, three
// rounds bring the marked strings' probability to about 0.96.
OPENQASM 2.0;
include "qelib1.inc";

// Z on |11111>: a phase flip of one basis state.
gate cccc_z a,b,c,d,e { h e; c4x a,b,c,d,e; h e; }

// Flip the sign of 10110 and of 01011: X where the string has a 0, then
// the five-qubit Z, then undo the X.
gate oracle a,b,c,d,e {
  x a; x d; cccc_z a,b,c,d,e; x a; x d;
  x c; x e; cccc_z a,b,c,d,e; x c; x e;
}

// Reflection about the uniform superposition.
gate diffuser a,b,c,d,e {
  h a; h b; h c; h d; h e;
  x a; x b; x c; x d; x e;
  cccc_z a,b,c,d,e;
  x a; x b; x c; x d; x e;
  h a; h b; h c; h d; h e;
}

qreg q[5];
creg c[5];

h q;
oracle q[0],q[1],q[2],q[3],q[4];
diffuser q[0],q[1],q[2],q[3],q[4];
oracle q[0],q[1],q[2],q[3],q[4];
diffuser q[0],q[1],q[2],q[3],q[4];
oracle q[0],q[1],q[2],q[3],q[4];
diffuser q[0],q[1],q[2],q[3],q[4];
barrier q;
measure q -> c;
