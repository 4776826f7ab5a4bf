// Filled in by the test work for this component.
