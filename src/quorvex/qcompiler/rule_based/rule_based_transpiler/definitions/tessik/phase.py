"""Vendor rewrite of p, s, s_dag, t, t_dag."""
from .._rules import vendor

tessik_phase_constructor = vendor("tessik_phase_constructor", "p s s_dag t t_dag")
