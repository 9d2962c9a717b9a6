"""Multi-controlled phase gates."""
from .._rules import controlled

mcp_constructor = controlled("mcp_constructor", "p s s_dag t t_dag cs cp mcp")
