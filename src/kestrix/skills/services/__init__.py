"""Services used while installing skills; `rule_injector` is a compiled extension."""
