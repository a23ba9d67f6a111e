// Keeps the support library non-empty before any reference exists.
