/* A module for the Suicide test to load and remove. */
int victim_value(void);
int victim_value(void) {
    return 42;
}
