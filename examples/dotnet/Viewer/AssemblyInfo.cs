using System.Reflection;

[assembly: AssemblyTitle("Viewer")]
[assembly: AssemblyDescription("Shows a drawing and lets the user recolour it")]
[assembly: AssemblyVersion("1.0.*")]
