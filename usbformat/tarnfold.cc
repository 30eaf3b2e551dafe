// The USB drive format library. Its one export, Tarnfold, arrives with the USB flow; until then the
// library is an empty shell so that the program can link against it.
