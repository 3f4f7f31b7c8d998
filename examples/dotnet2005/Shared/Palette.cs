namespace Shared
{
    // Linked into Legacy.csproj: the project lists it under its own name.
    public static class Palette
    {
        public static void Apply(VUVedaZir.Canvas canvas)
        {
            canvas.ActiveColor = 3;
            canvas.BkColorEx = 7;
        }
    }
}
