// Placeholder: the bridge between pages and the native host comes later.
