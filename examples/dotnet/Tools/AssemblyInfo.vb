Imports System.Reflection

<Assembly: AssemblyTitle("Tools")>
<Assembly: AssemblyDescription("Exports drawings to picture files")>
<Assembly: AssemblyVersion("1.0.*")>
