// Keeps the test-support library non-empty whatever helpers the folder holds.
