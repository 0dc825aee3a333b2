// Keeps a module library non-empty until it has sources.
