"""Stand-in for the broker SDK: the strategy base class, its context and enumerations."""
